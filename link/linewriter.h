#pragma once

#include "link/linkroute.h"

#include <QQueue>
#include <QSerialPort>
#include <QTimer>

// The one writer of frames to a serial port that this program holds. Frames
// are written only when the port can pass them straight to the system
// (nothing of ours still queued, room in the system's buffer), so a command
// that waits is still the caller's and can honestly be refused; each is
// answered sent once the port has handed all of its bytes to the system.
// The frames taken in one go (up to MaxRun, until flush()) leave in one
// write. A full line is only the line's pace (lineflow.h); a line that fails
// is reported by failed(), and a frame that was leaving is answered not sent
// when none of it left, unknown when part of it did. The port is not owned:
// whoever opened it closes it.
class LineWriter : public LinkRoute
{
    Q_OBJECT

public:
    // A frame handed over with room goes to the system at once; this only
    // bounds a partial write on a line that stopped.
    static constexpr int HandOverWithinMs = 2000;
    // A tty says it has room while fewer than 256 bytes wait in its driver.
    static constexpr int MaxRun = 64;

    explicit LineWriter(QSerialPort *port, QObject *parent = nullptr);
    ~LineWriter() override;

    int room() override;
    void awaitRoom() override;
    void send(const CommandFrame &frame, const QString &words, DeliveryDone done) override;
    void flush() override;

    // Waits until the system has put everything on the line: closing the
    // port earlier may restore its previous settings while the last bytes
    // are still in the adapter, which then sends them at the wrong rate.
    void drain();

private:
    struct Leaving
    {
        qint64 end; // the count of bytes handed over once this frame has left
        DeliveryDone done;
    };

    void written();
    void settle(bool closing);
    void portFailed(QSerialPort::SerialPortError error);

    QSerialPort *m_port;
    QByteArray m_run;          // taken, not yet written
    QQueue<Leaving> m_leaving; // written to the port, in order
    qint64 m_queued = 0;       // bytes of ours the port was given
    QTimer m_handOver;
    QTimer m_roomCheck; // while a command waits for room
    bool m_failed = false;
};
