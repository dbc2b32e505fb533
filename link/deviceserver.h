#pragma once

#include "command/commandline.h"
#include "link/linkroute.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

class QSocketNotifier;

// One delivery to a serial device server's raw TCP port (tcp://HOST:NUMBER)
// on a connection of its own: connect, write the bytes, end our side, wait
// for the server to end its side. A written socket says only that our own
// system took the bytes; the server's orderly close after ours is what says
// that it took them all. The outcome (commandline.h):
// - Sent: the server's system acknowledged every byte, and the server ended
//   its side only after ours reached it (it read up to our end), without a
//   reset; ours goes EndPauseMs after the bytes, so that a server that ends
//   its side on its own, without reading, shows it first;
// - NotSent: no connection, or it failed before the server acknowledged any
//   byte (what is left unacknowledged is discarded with a reset, so it can
//   never arrive later);
// - Unknown: it failed after some bytes were acknowledged, the server ended
//   its side before ours reached it (it never read up to our end), or it did
//   not close within CloseTimeoutMs plus the bytes' time on a 9600 baud line.
// A server that had ended its side before the connection was made takes
// nothing: NotSent, without a byte written.
// Where the system cannot tell acknowledged bytes (not Linux), a failure
// after the first byte left is Unknown. Nor does it tell the connection's
// state there: a server's end that came before ours left is still Unknown,
// but one that crossed ours on the way passes for one after it.
// With no bytes it only connects and ends the connection: a check that the
// server can be reached at all.
class DeviceServerSend : public QObject
{
    Q_OBJECT

public:
    static constexpr int ConnectTimeoutMs = 5000;
    static constexpr int CloseTimeoutMs = 3000;
    static constexpr int EndPauseMs = 50;

    // Starts at once; `done` is called once, from the event loop. Deleting
    // the object earlier abandons the delivery with a reset.
    DeviceServerSend(const QString &portName, const QByteArray &bytes, DeliveryDone done, QObject *parent = nullptr);
    ~DeviceServerSend() override;

    // The same, waiting for the outcome.
    static SendOutcome sendNow(const QString &portName, const QByteArray &bytes);

private:
    void begin();
    void connectNext();
    void writable();
    void readable();
    void endSending();
    void checkClosed();
    void fail(const QString &what, bool reset);
    void finish(const SendOutcome &outcome);
    void closeSocket(bool reset);
    qint64 acknowledged() const; // -1: the system does not say
    bool serverEndedEarly() const;
    std::optional<bool> closedAfterUs() const;

    QString m_portName;
    QByteArray m_bytes;
    DeliveryDone m_done;
    QList<QHostAddress> m_addresses;
    QString m_connectError;
    qintptr m_socket = -1;
    bool m_connected = false;
    bool m_serverClosed = false;
    bool m_endSent = false;              // our side ended
    std::optional<bool> m_closedInOrder; // known at the server's end, where the system tells
    qint64 m_handed = 0;                 // bytes the system took from us
    qint64 m_ackedAtStart = 0;           // the system's count when the connection was made
    QSocketNotifier *m_writeNotifier = nullptr;
    QSocketNotifier *m_readNotifier = nullptr;
    QTimer m_deadline;
    QTimer m_closePoll; // the server closed; its acknowledgement may still be on the way
    QTimer m_endPause;  // between our bytes and our end
};

// The way to a player behind a serial device server: the commands handed
// over in one turn of the event loop go on one connection of their own
// (DeviceServerSend), and share its one outcome, since a failure cannot be
// pinned on one frame; the next ones wait for that connection's end.
class DeviceServerLink : public LinkRoute
{
    Q_OBJECT

public:
    static constexpr int MaxBatch = 64;

    explicit DeviceServerLink(const QString &portName, QObject *parent = nullptr);
    // What it still held is answered: a connection under way may have
    // delivered its bytes (unknown); what waited for one never will.
    ~DeviceServerLink() override;

    int room() override;
    void send(const CommandFrame &frame, const QString &words, DeliveryDone done) override;

private:
    void start();

    QString m_portName;
    QByteArray m_bytes;
    QList<DeliveryDone> m_batch;   // taken, for the next connection
    QList<DeliveryDone> m_leaving; // on the connection under way
    bool m_starting = false;
    DeviceServerSend *m_sending = nullptr;
};
