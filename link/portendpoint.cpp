#include "link/portendpoint.h"
#include "command/commandgrammar.h"
#include "command/commandline.h"
#include "link/commandsession.h"
#include "link/portnames.h"

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
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A frame that has not left the port's buffer by then is reported as stuck.
constexpr int handOverTimeoutMs = 10000;
// How long a sender waits for the owner to take the connection and answer.
constexpr int connectTimeoutMs = 2000;
constexpr int replyMarginMs = 10000;

#if defined(Q_OS_UNIX)
// A folder of the user's own, which no one else may enter: the session's
// runtime folder when there is one, else one in the temporary folder. A
// folder there that belongs to someone else is never used.
QString endpointFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime + QLatin1String("/tunaris-console");
    return QDir::tempPath() + QStringLiteral("/tunaris-console-%1").arg(::geteuid());
}

bool makePrivateFolder(const QString &folder, QString *error)
{
    const QByteArray path = QFile::encodeName(folder);
    ::mkdir(path.constData(), 0700);
    struct stat status {};
    if (::lstat(path.constData(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) {
        *error = QStringLiteral("%1 is not a folder of this user's own").arg(folder);
        return false;
    }
    if ((status.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0) {
        *error = QStringLiteral("cannot make %1 private").arg(folder);
        return false;
    }
    return true;
}

bool peerIsThisUser(const QLocalSocket &socket)
{
#if defined(Q_OS_LINUX)
    ucred peer {};
    socklen_t size = sizeof peer;
    return ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
        && peer.uid == ::geteuid();
#else
    Q_UNUSED(socket);
    return true; // the folder's permissions are the guard
#endif
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

// A frame the port still holds: its answer waits until the port has handed
// it to the system, the port closes, or the line is stuck.
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
            finish(m_port->bytesToWrite() == 0 ? SendOutcome::sent()
                                               : SendOutcome::notSent(QStringLiteral("not sent: the port closed")));
        });
        QTimer::singleShot(handOverTimeoutMs, this, [this] {
            finish(SendOutcome::notSent(
                QStringLiteral("frame still waiting for the line after %1 s").arg(handOverTimeoutMs / 1000)));
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
    return endpointFolder() + QLatin1Char('/') + endpointBaseName(portName);
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
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &PortEndpoint::accept);
}

PortEndpoint::~PortEndpoint()
{
    shutDown();
}

void PortEndpoint::shutDown()
{
    m_server->close();
    emit closing();
}

void PortEndpoint::deliver(const PlayerCommand &command, DeliveryDone done)
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
    QString reason;
#if defined(Q_OS_UNIX)
    if (!makePrivateFolder(QFileInfo(m_name).path(), &reason)) {
        if (error)
            *error = reason;
        return false;
    }
#endif
    // Whoever held the port before has let go of it, so an endpoint still
    // there was left by an owner that ended without removing it.
    QLocalServer::removeServer(m_name);
    if (m_server->listen(m_name))
        return true;
    if (error)
        *error = m_server->errorString();
    return false;
}

void PortEndpoint::accept()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
#if defined(Q_OS_UNIX)
        if (!peerIsThisUser(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
#endif
        if (m_clients >= MaxClients) {
            socket->write(errorReply(QStringLiteral("too many clients, try again")));
            socket->disconnectFromServer();
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        ++m_clients;
        auto *session = new CommandSession<QLocalSocket>(
            socket,
            [this](const PlayerCommand &command, DeliveryDone done) {
                deliver(command, std::move(done));
            },
            IdleTimeoutMs, this);
        connect(session, &QObject::destroyed, this, [this] { --m_clients; });
    }
}

EndpointDelivery sendThroughEndpoint(const QString &portName, const QList<PlayerCommand> &commands)
{
    EndpointDelivery delivery;
    if (isDeviceServerName(portName))
        return delivery; // a device server's stream has no local owner
    QLocalSocket owner;
    owner.connectToServer(portEndpointName(portName));
    if (!owner.waitForConnected(connectTimeoutMs))
        return delivery;
    delivery.ownerFound = true;

    QByteArray lines;
    for (const PlayerCommand &command : commands)
        lines += commandWords(command).toLatin1() + '\n';
    owner.write(lines);

    // Generous: the owner sends at the line's pace, between its own frames.
    QDeadlineTimer deadline(replyMarginMs + 5 * qint64(commands.size()));
    for (const PlayerCommand &command : commands) {
        while (!owner.canReadLine()) {
            if (!owner.waitForReadyRead(int(deadline.remainingTime()))) {
                delivery.error = owner.state() == QLocalSocket::ConnectedState
                    ? QStringLiteral("the port's owner did not answer")
                    : QStringLiteral("the port's owner closed the connection");
                return delivery;
            }
        }
        const SendOutcome outcome = outcomeOfReply(owner.readLine(MaxCommandLineLength + 1), toFrame(command));
        if (!outcome.isSent()) {
            delivery.error = outcome.reason;
            return delivery;
        }
    }
    delivery.allSent = true;
    return delivery;
}
