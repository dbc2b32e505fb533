#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class ByteStream;
class CommandIntake;
class LineSession;
class QLocalSocket;

// The local endpoint of a port's owner. A port has one owner at a time (the
// system locks it); while the owner holds it open, other programs of the
// same user hand the owner command lines here and the owner sends them on
// its port, in order, whole frames between its own. The lines are those of
// command/commandline.h; ownerlink.h is the other side. On Windows the
// endpoint is a named pipe, which the owner makes first and for this
// account alone, and whose server every sender checks is this account's
// (link/windowspipe.h).
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

// "tunaris-bridge, process 1234": the program at the other end of an
// endpoint's connection, when the system tells; empty otherwise.
QString endpointPeerName(qintptr descriptor);

// Connects `socket` to the owner of the port's endpoint; `why` says, naming
// the folder, why the endpoint was refused.
EndpointOwner connectToOwner(const QString &portName, QLocalSocket &socket, int timeoutMs, QString *why);

// The door of the port's owner: serves the endpoint while the owner holds
// the port, and hands each line of its clients to the owner's intake
// (commandintake.h), which sends it on the port the way the owner's own
// commands go and answers it.
class PortEndpoint : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxClients = 32;
    static constexpr int IdleTimeoutMs = 30000;

    PortEndpoint(const QString &portName, CommandIntake *intake, QObject *parent = nullptr);
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

private:
    class Server;

    void accept(qintptr descriptor);
    void serve(std::unique_ptr<ByteStream> stream, const QString &peer);

    QString m_name;
    QString m_problem;
    CommandIntake *m_intake;
    Server *m_server;
    QList<QPointer<LineSession>> m_sessions;
    bool m_shutDown = false;
};
