#pragma once

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QString>

#include "command/commandline.h"

#include <functional>

class QLocalServer;
class QLocalSocket;
class QSerialPort;
template<typename Socket> class CommandSession;
class QTimer;

// The local endpoint of a port's owner. A port has one owner at a time (the
// system locks it); while the owner holds it open, other programs of the
// same user hand the owner command lines here and the owner sends them on
// its port, in order, whole frames between its own. The lines are those of
// command/commandline.h. On Windows the endpoint is a named pipe, which the
// owner makes first and for this account alone, and whose server every
// sender checks is this account's (link/windowspipe.h).
//
// On Unix it is a socket in a folder of the user's alone, found by one rule
// whatever the caller's environment, so that a job started by cron reaches
// the console of the user's desktop session:
//   $XDG_RUNTIME_DIR/tunaris-console when that variable is set;
//   else /run/user/<uid>/tunaris-console when the system keeps that folder
//   for the user (it is the session's runtime folder);
//   else <temporary folder>/tunaris-console-<uid>.
// Every program checks the folder before using it, without following links:
// a folder, the user's own, closed to group and others (and the runtime
// folder above it the user's own and closed to others' writing); and after
// connecting, that the program serving the socket is the user's. Anything
// else is refused with a message that names the folder, and nothing is sent,
// not even on the port itself: whoever made that folder may be waiting for
// the commands.

// The endpoint of a port: every name of the same device gives the same one.
QString portEndpointName(const QString &portName);

enum class EndpointOwner {
    None,    // nobody serves the endpoint: the port may be opened directly
    Refused, // the folder or the program serving it is not the user's own
    Found,   // connected to a program of this user's
};

// Connects `socket` to the owner of the port's endpoint; `why` says, naming
// the folder, why the endpoint was refused.
EndpointOwner connectToOwner(const QString &portName, QLocalSocket &socket, int timeoutMs, QString *why);

class PortEndpoint : public QObject
{
    Q_OBJECT

public:
    // Sends one command on the owner's port: empty when the frame went to
    // the port, else why not.
    using Sender = std::function<QString(const PlayerCommand &)>;

    static constexpr int MaxClients = 32;
    static constexpr int IdleTimeoutMs = 30000;
    // Every line taken is answered within this, however slow the line is (a
    // frame waits for it for a bounded time, well below this): a client that
    // waits longer has an owner that is stopped or hung, and cannot tell
    // whether its command went out.
    static constexpr int AnswerWithinMs = 15000;

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
    // Why other programs cannot reach the port through this endpoint, when
    // listen() failed; empty while it serves.
    QString problem() const { return m_problem; }
    // Removes the endpoint as the port closes. Every complete line received
    // so far, including those still waiting unread in a client's socket, is
    // answered, "error not sent: the port closed" unless it was sent: a
    // client whose line gets no answer knows that the owner died.
    void shutDown();

signals:
    void closing();

private:
    using Session = CommandSession<QLocalSocket>;

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
    QString m_problem;
    QSerialPort *m_port;
    Sender m_sender;
    QLocalServer *m_server;
    QList<Session *> m_sessions;
    bool m_shutDown = false;
    QQueue<Waiting> m_waiting; // frames of clients, in order, until the line has room
    QTimer *m_roomCheck;
};

// The other side, for programs that have commands for a port: hands them to
// the port's owner when one serves the port's endpoint, one at a time, each
// after the previous one was sent.
struct EndpointDelivery
{
    EndpointOwner owner = EndpointOwner::None;
    QString refusal;             // Refused: why, naming the folder; nothing was sent
    QList<SendOutcome> outcomes; // Found: in order, up to the first not sent or unknown
};
EndpointDelivery sendThroughEndpoint(const QString &portName, const QList<PlayerCommand> &commands);
