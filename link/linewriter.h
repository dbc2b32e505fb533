#pragma once

#include "link/linkroute.h"

#include <QSerialPort>
#include <QTimer>

// The one writer of frames to a serial port that this program holds. A
// frame is written only when the port can pass it straight to the system
// (nothing of ours still queued, room in the system's buffer), so a command
// that waits is still the caller's and can honestly be refused; it is
// answered sent once the port has handed it to the system. A full line is
// only the line's pace (lineflow.h); a line that fails is reported by
// failed(), and the frame that was leaving is answered not sent when none of
// it left, unknown when part of it did. The port is not owned: whoever
// opened it closes it.
class LineWriter : public LinkRoute
{
    Q_OBJECT

public:
    // A frame handed over with room goes to the system at once; this only
    // bounds a partial write on a line that stopped.
    static constexpr int HandOverWithinMs = 2000;

    explicit LineWriter(QSerialPort *port, QObject *parent = nullptr);
    ~LineWriter() override;

    int room() override;
    void awaitRoom() override;
    void send(const CommandFrame &frame, const QString &words, DeliveryDone done) override;

    // Waits until the system has put everything on the line: closing the
    // port earlier may restore its previous settings while the last bytes
    // are still in the adapter, which then sends them at the wrong rate.
    void drain();

private:
    void written();
    void settle(bool closing);
    void portFailed(QSerialPort::SerialPortError error);

    QSerialPort *m_port;
    DeliveryDone m_leaving; // the frame the port still holds
    qint64 m_leavingBytes = 0;
    QTimer m_handOver;
    QTimer m_roomCheck; // while a command waits for room
    bool m_failed = false;
};
