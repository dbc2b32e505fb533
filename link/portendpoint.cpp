#include "link/portendpoint.h"
#include "command/commandgrammar.h"
#include "command/commandline.h"
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

#if defined(Q_OS_UNIX)
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Lines taken from one client before its earlier ones are answered: the
// rest waits in the system's buffers, which makes a fast client wait too.
constexpr int maxQueuedLines = 64;
constexpr qint64 readBufferBytes = 16 * 1024;
// Replies a client leaves unread before it is dropped.
constexpr qint64 maxUnreadReplyBytes = 64 * 1024;
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

// One client of the endpoint: its lines are answered one at a time, each
// once its frame has gone to the system, so "ok" means sent.
class EndpointSession : public QObject
{
public:
    EndpointSession(QLocalSocket *socket, QSerialPort *port, const PortEndpoint::Sender &sender, QObject *parent)
        : QObject(parent)
        , m_socket(socket)
        , m_port(port)
        , m_sender(sender)
    {
        socket->setParent(this);
        socket->setReadBufferSize(readBufferBytes);
        m_idle.setSingleShot(true);
        m_idle.start(PortEndpoint::IdleTimeoutMs);
        m_handOver.setSingleShot(true);
        connect(&m_idle, &QTimer::timeout, this, [this] {
            reply(errorReply(QStringLiteral("no command for %1 s").arg(PortEndpoint::IdleTimeoutMs / 1000)));
            m_socket->disconnectFromServer();
        });
        connect(&m_handOver, &QTimer::timeout, this, [this] { finishHandOver(false); });
        connect(socket, &QLocalSocket::readyRead, this, &EndpointSession::work);
        connect(socket, &QLocalSocket::disconnected, this, &QObject::deleteLater);
        connect(port, &QSerialPort::bytesWritten, this, [this] {
            if (m_handOver.isActive() && m_port->bytesToWrite() == 0)
                finishHandOver(true);
        });
    }

    // The port is closing: a frame waiting to leave is answered for now,
    // and the client is let go. A line left unanswered was not sent.
    void shutDown()
    {
        if (m_handOver.isActive()) {
            m_handOver.stop();
            reply(m_port->bytesToWrite() == 0 ? m_okReply
                                              : errorReply(QStringLiteral("not sent: the port closed")));
        }
        m_socket->flush();
        m_socket->disconnectFromServer();
    }

private:
    void work()
    {
        for (int budget = maxQueuedLines; budget > 0 && !m_handOver.isActive(); --budget) {
            if (m_lines.isEmpty() && !takeLines())
                return;
            answer(m_lines.takeFirst());
        }
        // More to do: let the window and the other clients have a turn first.
        if (!m_handOver.isActive())
            QTimer::singleShot(0, this, &EndpointSession::work);
    }

    bool takeLines()
    {
        while (m_lines.isEmpty() && m_socket->bytesAvailable() > 0) {
            m_idle.start(PortEndpoint::IdleTimeoutMs);
            m_lines += m_reader.feed(m_socket->read(readBufferBytes));
        }
        return !m_lines.isEmpty();
    }

    void answer(const CommandLineReader::Line &line)
    {
        if (!line.error.isEmpty())
            return reply(errorReply(line.error));
        const CommandLineResult parsed = parseCommandLine(line.text);
        if (!parsed.command)
            return reply(errorReply(parsed.error));
        const QString refused = m_sender(*parsed.command);
        if (!refused.isEmpty())
            return reply(errorReply(refused));
        m_okReply = okReply(toFrame(*parsed.command));
        if (m_port->bytesToWrite() == 0)
            return reply(m_okReply);
        m_handOver.start(handOverTimeoutMs);
    }

    void finishHandOver(bool sent)
    {
        m_handOver.stop();
        reply(sent ? m_okReply
                   : errorReply(QStringLiteral("frame still waiting for the line after %1 s")
                                    .arg(handOverTimeoutMs / 1000)));
        work();
    }

    void reply(const QByteArray &line)
    {
        m_socket->write(line);
        if (m_socket->bytesToWrite() > maxUnreadReplyBytes)
            m_socket->abort();
    }

    QLocalSocket *m_socket;
    QSerialPort *m_port;
    PortEndpoint::Sender m_sender;
    CommandLineReader m_reader;
    QList<CommandLineReader::Line> m_lines;
    QByteArray m_okReply;
    QTimer m_idle;
    QTimer m_handOver;
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
        auto *session = new EndpointSession(socket, m_port, m_sender, this);
        connect(session, &QObject::destroyed, this, [this] { --m_clients; });
        connect(this, &PortEndpoint::closing, session, &EndpointSession::shutDown);
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
        const QByteArray answer = owner.readLine(MaxCommandLineLength + 1).trimmed();
        if (answer != okReply(toFrame(command)).trimmed()) {
            delivery.error = answer.startsWith("error ") ? QString::fromUtf8(answer.mid(6))
                                                         : QStringLiteral("unexpected answer from the port's owner");
            return delivery;
        }
    }
    delivery.allSent = true;
    return delivery;
}
