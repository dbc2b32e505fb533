#include "link/portendpoint.h"
#include "command/commandgrammar.h"
#include "command/commandline.h"
#include "link/commandsession.h"
#include "link/lineflow.h"
#include "link/portnames.h"
#if defined(Q_OS_WIN)
#include "link/windowspipe.h"
#endif

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSerialPort>
#include <QTimer>
#include <QUrl>

#include <utility>

#if defined(Q_OS_UNIX)
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace {

// A frame waits this long for the line to have room; then it is dropped,
// never written. At 9600 baud a full 4 KiB system buffer drains in 4.3 s.
constexpr int roomTimeoutMs = 6000;
// While frames wait, the line is looked at this often: about one frame's
// time at 9600 baud. Nothing is looked at while nothing waits.
constexpr int roomCheckMs = 4;
// A frame handed over with room goes to the system at once; this only
// bounds a partial write on a line that stopped.
constexpr int handOverTimeoutMs = 2000;
// How long a sender waits for the owner to take the connection and answer.
static_assert(roomTimeoutMs + handOverTimeoutMs < PortEndpoint::AnswerWithinMs,
              "a slow line is answered before clients give up");
constexpr int connectTimeoutMs = 2000;

#if defined(Q_OS_UNIX)
// "user nobody (65534)"
QString userName(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    return entry ? QStringLiteral("user %1 (%2)").arg(QString::fromLocal8Bit(entry->pw_name)).arg(uid)
                 : QStringLiteral("user %1").arg(uid);
}

// Why `path` is not a folder of this user's alone, as it stands (a link is
// not followed); empty when it is. `closed`: no access at all for group and
// others, else only no writing.
QString unsafeFolder(const QString &path, bool closed)
{
    struct stat status
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (S_ISLNK(status.st_mode))
        return QStringLiteral("it is a symbolic link");
    if (!S_ISDIR(status.st_mode))
        return QStringLiteral("it is not a folder");
    if (status.st_uid != ::geteuid())
        return QStringLiteral("it belongs to %1").arg(userName(status.st_uid));
    if ((status.st_mode & (closed ? 077 : 022)) != 0)
        return QStringLiteral("group or others may %1 it (mode %2)")
            .arg(closed ? QStringLiteral("enter") : QStringLiteral("write in"))
            .arg(status.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return QString();
}

QString notPrivate(const QString &folder, const QString &reason)
{
    return QStringLiteral("%1 is not a private folder of this user: %2").arg(folder, reason);
}

struct RuntimeFolder
{
    QString parent; // the user's runtime folder, or empty for the temporary folder's
    QString folder; // of the endpoints
};

RuntimeFolder runtimeFolder()
{
    const QString session = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(session))
        return {QDir::cleanPath(session), QDir::cleanPath(session) + QLatin1String("/tunaris-console")};
    const QString system = QStringLiteral("/run/user/%1").arg(::geteuid());
    struct stat status
    {
    };
    if (::lstat(QFile::encodeName(system).constData(), &status) == 0)
        return {system, system + QLatin1String("/tunaris-console")};
    return {QString(), QDir::tempPath() + QStringLiteral("/tunaris-console-%1").arg(::geteuid())};
}

enum class FolderState { Private, Absent, Refused };

// Checks the folder of the endpoints, making it first when `make`.
FolderState checkFolder(bool make, QString *why)
{
    const RuntimeFolder runtime = runtimeFolder();
    const QByteArray folder = QFile::encodeName(runtime.folder);
    if (!runtime.parent.isEmpty()) {
        if (!make && ::access(QFile::encodeName(runtime.parent).constData(), F_OK) != 0 && errno == ENOENT)
            return FolderState::Absent;
        const QString reason = unsafeFolder(runtime.parent, false);
        if (!reason.isEmpty()) {
            *why = notPrivate(runtime.parent, reason);
            return FolderState::Refused;
        }
    }
    if (make && ::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST) {
        *why = QStringLiteral("cannot make %1: %2").arg(runtime.folder, QString::fromLocal8Bit(std::strerror(errno)));
        return FolderState::Refused;
    }
    struct stat status
    {
    };
    if (!make && ::lstat(folder.constData(), &status) != 0 && errno == ENOENT)
        return FolderState::Absent;
    const QString reason = unsafeFolder(runtime.folder, true);
    if (!reason.isEmpty()) {
        *why = notPrivate(runtime.folder, reason);
        return FolderState::Refused;
    }
    return FolderState::Private;
}

// The user the program at the other end of a connection ran as when it made
// its socket; -1 when that cannot be told.
qint64 peerUser(qintptr descriptor)
{
#if defined(Q_OS_LINUX)
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0)
        return peer.uid;
#else
    uid_t uid = 0;
    gid_t group = 0;
    if (::getpeereid(int(descriptor), &uid, &group) == 0)
        return uid;
#endif
    return -1;
}
#endif

// "ttyUSB0" for /dev/ttyUSB0, "pts%2F3" for /dev/pts/3: readable, and no two
// devices share one. A path too long for a socket's name is hashed.
QString endpointBaseName(const QString &portName)
{
    const QString device = canonicalPortPath(portName);
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name = QString::fromLatin1(QUrl::toPercentEncoding(name));
    if (name.size() > 48)
        name = QLatin1String("port-")
               + QString::fromLatin1(QCryptographicHash::hash(device.toUtf8(), QCryptographicHash::Sha1).toHex());
    return name;
}

// A frame handed to the port that the port still holds: its answer waits
// until the port has handed it to the system. Since frames are handed over
// only when the port has room, this is short; a frame still held when the
// bound passes or the port closes may have left in part: unknown.
class HandOver : public QObject
{
public:
    HandOver(QSerialPort *port, DeliveryDone done, PortEndpoint *endpoint)
        : QObject(endpoint)
        , m_port(port)
        , m_done(std::move(done))
    {
        connect(port, &QSerialPort::bytesWritten, this, [this] {
            if (m_port->bytesToWrite() == 0)
                finish(SendOutcome::sent());
        });
        connect(endpoint, &PortEndpoint::closing, this, [this] {
            finish(m_port->bytesToWrite() == 0
                       ? SendOutcome::sent()
                       : SendOutcome::unknown(QStringLiteral("the port closed while the frame was leaving")));
        });
        QTimer::singleShot(handOverTimeoutMs, this, [this] {
            finish(SendOutcome::unknown(
                QStringLiteral("the frame was still leaving for the line after %1 s").arg(handOverTimeoutMs / 1000)));
        });
    }

private:
    void finish(const SendOutcome &outcome)
    {
        if (!m_done)
            return;
        std::exchange(m_done, nullptr)(outcome);
        deleteLater();
    }

    QSerialPort *m_port;
    DeliveryDone m_done;
};

} // namespace

QString portEndpointName(const QString &portName)
{
#if defined(Q_OS_UNIX)
    return runtimeFolder().folder + QLatin1Char('/') + endpointBaseName(portName);
#else
    return QLatin1String("tunaris-console-") + endpointBaseName(portName);
#endif
}

PortEndpoint::PortEndpoint(const QString &portName, QSerialPort *port, Sender sender, QObject *parent)
    : QObject(parent)
    , m_name(portEndpointName(portName))
    , m_port(port)
    , m_sender(std::move(sender))
    , m_server(new QLocalServer(this))
    , m_roomCheck(new QTimer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &PortEndpoint::accept);
    m_roomCheck->setInterval(roomCheckMs);
    connect(m_roomCheck, &QTimer::timeout, this, &PortEndpoint::handOnWhileRoom);
    // The port's buffer emptied: the line may have room at once.
    connect(port, &QSerialPort::bytesWritten, this, [this] {
        if (!m_waiting.isEmpty())
            handOnWhileRoom();
    });
}

PortEndpoint::~PortEndpoint()
{
    shutDown();
}

void PortEndpoint::shutDown()
{
    if (std::exchange(m_shutDown, true))
        return;
    // Connections the system still holds for the endpoint are taken too, so
    // that their lines are answered rather than cut off.
    bool timedOut = false;
    for (int taken = 0; m_server->isListening() && !timedOut && taken < MaxClients * 4; ++taken)
        m_server->waitForNewConnection(0, &timedOut);
    m_server->close();
    m_roomCheck->stop();
    const QList<Session *> sessions = m_sessions;
    for (Session *session : sessions)
        session->refuseRest(QStringLiteral("not sent: the port closed"));
    // The frames handed over or waiting for room answer now, and their
    // sessions then answer the rest.
    emit closing();
    while (!m_waiting.isEmpty())
        m_waiting.dequeue().done(SendOutcome::notSent(QStringLiteral("not sent: the port closed")));
}

// A frame is handed to the port only when the port can pass it straight to
// the system. A frame that waits is still the caller's, so one that runs out
// of time is honestly not sent; the client sees the wait as a late reply.
void PortEndpoint::deliver(const PlayerCommand &command, DeliveryDone done)
{
    m_waiting.enqueue({command, std::move(done), QDeadlineTimer(roomTimeoutMs)});
    handOnWhileRoom();
}

void PortEndpoint::handOnWhileRoom()
{
    while (!m_waiting.isEmpty()) {
        if (m_waiting.head().deadline.hasExpired()) {
            m_waiting.dequeue().done(SendOutcome::notSent(
                QStringLiteral("not sent: the line had no room for %1 s").arg(roomTimeoutMs / 1000)));
            continue;
        }
        if (!m_port->isOpen() || !portHasRoom(*m_port))
            break;
        Waiting frame = m_waiting.dequeue();
        handOver(frame.command, std::move(frame.done));
    }
    if (m_waiting.isEmpty())
        m_roomCheck->stop();
    else if (!m_roomCheck->isActive())
        m_roomCheck->start();
}

void PortEndpoint::handOver(const PlayerCommand &command, DeliveryDone done)
{
    const QString refused = m_sender(command);
    if (!refused.isEmpty())
        return done(SendOutcome::notSent(refused));
    if (m_port->bytesToWrite() == 0)
        return done(SendOutcome::sent());
    new HandOver(m_port, std::move(done), this);
}

bool PortEndpoint::listen(QString *error)
{
    m_problem.clear();
#if defined(Q_OS_UNIX)
    if (checkFolder(true, &m_problem) == FolderState::Private) {
        struct stat status
        {
        };
        if (::lstat(QFile::encodeName(m_name).constData(), &status) == 0 && S_ISDIR(status.st_mode))
            m_problem = QStringLiteral("a folder stands where the endpoint goes, %1").arg(m_name);
    }
#elif defined(Q_OS_WIN)
    // Held until the server has made its own instances: the name is ours.
    const PipeClaim claim(m_name);
    m_problem = claim.refusal();
#endif
    if (m_problem.isEmpty()) {
        // Whoever held the port before has let go of it, so an endpoint still
        // there was left by an owner that ended without removing it.
        QLocalServer::removeServer(m_name);
        if (!m_server->listen(m_name))
            m_problem = QStringLiteral("cannot serve %1: %2").arg(m_name, m_server->errorString());
    }
    if (error)
        *error = m_problem;
    return m_problem.isEmpty();
}

void PortEndpoint::accept()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
#if defined(Q_OS_UNIX)
        if (peerUser(socket->socketDescriptor()) != qint64(::geteuid())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
#endif
        if (m_sessions.size() >= MaxClients) {
            socket->write(errorReply(QStringLiteral("too many clients, try again")));
            socket->disconnectFromServer();
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        auto *session = new Session(
            socket, [this](const PlayerCommand &command, DeliveryDone done) { deliver(command, std::move(done)); },
            IdleTimeoutMs, this);
        m_sessions << session;
        connect(session, &QObject::destroyed, this, [this, session] { m_sessions.removeOne(session); });
    }
}

EndpointOwner connectToOwner(const QString &portName, QLocalSocket &socket, int timeoutMs, QString *why)
{
    const QString name = portEndpointName(portName);
#if defined(Q_OS_UNIX)
    switch (checkFolder(false, why)) {
    case FolderState::Absent:
        return EndpointOwner::None;
    case FolderState::Refused:
        return EndpointOwner::Refused;
    case FolderState::Private:
        break;
    }
#endif
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs))
        return EndpointOwner::None;
#if defined(Q_OS_UNIX)
    // Not a byte before the program at the other end is known to be ours.
    const qint64 peer = peerUser(socket.socketDescriptor());
    if (peer != qint64(::geteuid())) {
        socket.abort();
        *why = QStringLiteral("%1 is served by %2, not by this user")
                   .arg(name, peer < 0 ? QStringLiteral("a program of an unknown user") : userName(uid_t(peer)));
        return EndpointOwner::Refused;
    }
#elif defined(Q_OS_WIN)
    // Pipe names are machine-wide: not a byte before the server is known to be ours.
    const QString server = pipeServerOfAnotherAccount(socket.socketDescriptor());
    if (!server.isEmpty()) {
        *why = QStringLiteral("%1 is served by %2, not by this user").arg(socket.fullServerName(), server);
        socket.abort();
        return EndpointOwner::Refused;
    }
#endif
    return EndpointOwner::Found;
}

namespace {

// Hands one command to the owner and waits for its answer.
SendOutcome askOwner(QLocalSocket &owner, const PlayerCommand &command)
{
    owner.write(commandWords(command).toLatin1() + '\n');
    owner.flush();
    QDeadlineTimer deadline(PortEndpoint::AnswerWithinMs);
    while (!owner.canReadLine()) {
        if (owner.state() != QLocalSocket::ConnectedState)
            return SendOutcome::unknown(QStringLiteral("the port's owner closed the connection without answering"));
        if (!owner.waitForReadyRead(int(deadline.remainingTime())) && deadline.hasExpired())
            return SendOutcome::unknown(
                QStringLiteral("the port's owner did not answer within %1 s").arg(PortEndpoint::AnswerWithinMs / 1000));
    }
    return outcomeOfReply(owner.readLine(MaxCommandLineLength + 1), toFrame(command));
}

} // namespace

EndpointDelivery sendThroughEndpoint(const QString &portName, const QList<PlayerCommand> &commands)
{
    EndpointDelivery delivery;
    if (isDeviceServerName(portName))
        return delivery; // a device server's stream has no local owner
    QLocalSocket owner;
    delivery.owner = connectToOwner(portName, owner, connectTimeoutMs, &delivery.refusal);
    if (delivery.owner != EndpointOwner::Found)
        return delivery;
    // One at a time: a command after one that did not go out is never sent.
    for (const PlayerCommand &command : commands) {
        delivery.outcomes << askOwner(owner, command);
        if (!delivery.outcomes.last().isSent())
            break;
    }
    return delivery;
}
