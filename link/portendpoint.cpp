#include "link/portendpoint.h"
#include "link/bytestream.h"
#include "link/linesession.h"
#include "link/portnames.h"
#include "link/socketcalls.h"
#if defined(Q_OS_WIN)
#include "link/windowspipe.h"
#endif

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
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

} // namespace

QString endpointPeerName(qintptr descriptor)
{
#if defined(Q_OS_LINUX)
    ucred peer{};
    socklen_t size = sizeof peer;
    if (descriptor < 0 || ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0)
        return QString();
    QFile comm(QStringLiteral("/proc/%1/comm").arg(peer.pid));
    const QByteArray name = comm.open(QIODevice::ReadOnly) ? comm.read(64).trimmed() : QByteArray();
    return name.isEmpty() ? QStringLiteral("process %1").arg(peer.pid)
                          : QStringLiteral("%1, process %2").arg(QString::fromLocal8Bit(name)).arg(peer.pid);
#else
    Q_UNUSED(descriptor);
    return QString();
#endif
}

QString portEndpointName(const QString &portName)
{
#if defined(Q_OS_UNIX)
    return runtimeFolder().folder + QLatin1Char('/') + endpointBaseName(portName);
#else
    return QLatin1String("tunaris-console-") + endpointBaseName(portName);
#endif
}

// Takes the connections as descriptors: a client that ends its sending
// must still read its answers, which Qt's local sockets do not allow.
class PortEndpoint::Server : public QLocalServer
{
public:
    explicit Server(PortEndpoint *endpoint)
        : QLocalServer(endpoint)
        , m_endpoint(endpoint)
    {
    }

protected:
#if defined(Q_OS_UNIX)
    void incomingConnection(quintptr descriptor) override
    {
        m_endpoint->accept(qintptr(descriptor));
    }
#endif

private:
    PortEndpoint *m_endpoint;
};

PortEndpoint::PortEndpoint(const QString &portName, CommandIntake *intake, QObject *parent)
    : QObject(parent)
    , m_name(portEndpointName(portName))
    , m_intake(intake)
    , m_server(new Server(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
#if !defined(Q_OS_UNIX)
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection())
            serve(localSocketStream(socket, QStringLiteral("a program of this user")), QString());
    });
#endif
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
    for (const QPointer<LineSession> &session : std::as_const(m_sessions)) {
        if (session)
            session->refuseRest(QStringLiteral("not sent: the port closed"));
    }
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

void PortEndpoint::accept(qintptr descriptor)
{
#if defined(Q_OS_UNIX)
    // Not a byte is read from a program that is not this user's.
    if (peerUser(descriptor) != qint64(::geteuid())) {
        SocketCalls::close(descriptor, true);
        return;
    }
    serve(socketStream(descriptor, QString()), endpointPeerName(descriptor));
#else
    Q_UNUSED(descriptor);
#endif
}

void PortEndpoint::serve(std::unique_ptr<ByteStream> stream, const QString &peer)
{
    m_sessions.removeAll(nullptr);
    auto *session = new LineSession(std::move(stream), m_intake, {QStringLiteral("endpoint"), peer, QString()},
                                    IdleTimeoutMs, this);
    if (m_shutDown)
        session->refuseRest(QStringLiteral("not sent: the port closed"));
    else if (m_sessions.size() >= MaxClients)
        session->turnAway(QStringLiteral("too many clients, try again"));
    m_sessions << session;
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
