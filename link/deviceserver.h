#pragma once

#include "command/commandline.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class QSocketNotifier;

// One delivery to a serial device server's raw TCP port (tcp://HOST:NUMBER)
// on a connection of its own: connect, write the bytes, end our side, wait
// for the server to end its side. A written socket says only that our own
// system took the bytes; the server's orderly close after ours is what says
// that it took them all. The outcome (commandline.h):
// - Sent: the server's system acknowledged every byte and the connection
//   closed without a reset;
// - NotSent: no connection, or it failed before the server acknowledged any
//   byte (what is left unacknowledged is discarded with a reset, so it can
//   never arrive later);
// - Unknown: it failed after some bytes were acknowledged, or the server did
//   not close within CloseTimeoutMs plus the bytes' time on a 9600 baud line.
// Where the system cannot tell acknowledged bytes (not Linux), a failure
// after the first byte left is Unknown. With no bytes it only connects and
// ends the connection: a check that the server can be reached at all.
class DeviceServerSend : public QObject
{
    Q_OBJECT

public:
    static constexpr int ConnectTimeoutMs = 5000;
    static constexpr int CloseTimeoutMs = 3000;

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
    void checkClosed();
    void fail(const QString &what, bool reset);
    void finish(const SendOutcome &outcome);
    void closeSocket(bool reset);
    qint64 acknowledged() const; // -1: the system does not say

    QString m_portName;
    QByteArray m_bytes;
    DeliveryDone m_done;
    QList<QHostAddress> m_addresses;
    QString m_connectError;
    qintptr m_socket = -1;
    bool m_connected = false;
    bool m_serverClosed = false;
    qint64 m_handed = 0;       // bytes the system took from us
    qint64 m_ackedAtStart = 0; // the system's count when the connection was made
    QSocketNotifier *m_writeNotifier = nullptr;
    QSocketNotifier *m_readNotifier = nullptr;
    QTimer m_deadline;
    QTimer m_closePoll; // the server closed; its acknowledgement may still be on the way
};
