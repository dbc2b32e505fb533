#include "link/portendpoint.h"
#include "command/commandgrammar.h"
#include "command/commandline.h"
#include "link/commandsession.h"
#include "link/lineflow.h"
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
    m_server->close();
    m_roomCheck->stop();
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
