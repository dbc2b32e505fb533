#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QQueue>
#include <QString>

#include "command/commandline.h"

#include <functional>

class QLocalServer;
class QLocalSocket;
class QSerialPort;
class QTimer;

// The local endpoint of a port's owner. A port has one owner at a time (the
// system locks it); while the owner holds it open, other programs of the
// same user hand the owner command lines here and the owner sends them on
// its port, in order, whole frames between its own. On Linux the endpoint
// is a socket in a folder only the user may enter ($XDG_RUNTIME_DIR/
// tunaris-console), on Windows a named pipe. The lines are those of
// command/commandline.h.

// The endpoint of a port: every name of the same device gives the same one.
QString portEndpointName(const QString &portName);

class PortEndpoint : public QObject
{
    Q_OBJECT

public:
    // Sends one command on the owner's port: empty when the frame went to
    // the port, else why not.
    using Sender = std::function<QString(const PlayerCommand &)>;

    static constexpr int MaxClients = 32;
    static constexpr int IdleTimeoutMs = 30000;

    // `port` is the open port the sender writes to. A frame waits, bounded,
    // until the line has room, and is answered once it has left the port's
    // buffer for the system: a full line makes clients wait, never fail.
    PortEndpoint(const QString &portName, QSerialPort *port, Sender sender, QObject *parent = nullptr);
    // Removes the endpoint.
    ~PortEndpoint() override;

    // Makes the endpoint, replacing one that an owner which ended without
    // removing it left behind; false, with the reason, when it cannot.
    bool listen(QString *error = nullptr);
    QString name() const { return m_name; }
    // Removes the endpoint as the port closes: every line taken so far is
    // answered, so a client that gets no answer knows its line was not sent.
    void shutDown();

signals:
    void closing();

private:
    void accept();
    struct Waiting
    {
        PlayerCommand command;
        DeliveryDone done;
        QDeadlineTimer deadline;
    };

    void deliver(const PlayerCommand &command, DeliveryDone done);
    void handOnWhileRoom();
    void handOver(const PlayerCommand &command, DeliveryDone done);

    QString m_name;
    QSerialPort *m_port;
    Sender m_sender;
    QLocalServer *m_server;
    int m_clients = 0;
    QQueue<Waiting> m_waiting; // frames of clients, in order, until the line has room
    QTimer *m_roomCheck;
};

// The other side, for programs that have commands for a port: hands them to
// the port's owner when one serves the port's endpoint.
struct EndpointDelivery
{
    bool ownerFound = false; // false: nobody serves the endpoint, open the port yourself
    bool allSent = false;    // every command was answered "ok" with its own frame
    QString error;           // when not all were sent: the owner's reason
};
EndpointDelivery sendThroughEndpoint(const QString &portName, const QList<PlayerCommand> &commands);
