#include "link/deviceserver.h"
#include "link/portnames.h"

#include <QEventLoop>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSocketNotifier>

#include <cstddef>
#include <cstring>

#if defined(Q_OS_WIN)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#if defined(Q_OS_LINUX)
#include <linux/tcp.h> // tcpi_bytes_acked, which the C library's header lacks
#endif

namespace {

// A device server's line rate is set on the server; the slowest the player
// takes bounds how long it may need to pass the bytes on before it closes.
constexpr qint32 assumedLineRate = 9600;

#if defined(Q_OS_WIN)
constexpr int sendFlags = 0;
constexpr int endOfSending = SD_SEND;
int lastSocketError()
{
    return WSAGetLastError();
}
bool wouldBlock(int error)
{
    return error == WSAEWOULDBLOCK;
}
bool connectPending(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}
void closeDescriptor(qintptr socket)
{
    ::closesocket(SOCKET(socket));
}
bool makeNonBlocking(qintptr socket)
{
    u_long on = 1;
    return ::ioctlsocket(SOCKET(socket), FIONBIO, &on) == 0;
}
QString socketErrorText(int error)
{
    return QStringLiteral("system error %1").arg(error);
}
#else
constexpr int sendFlags = MSG_NOSIGNAL; // a reset is an answer here, not a reason to die
constexpr int endOfSending = SHUT_WR;
int lastSocketError()
{
    return errno;
}
bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}
bool connectPending(int error)
{
    return error == EINPROGRESS;
}
void closeDescriptor(qintptr socket)
{
    ::close(int(socket));
}
bool makeNonBlocking(qintptr socket)
{
    const int flags = ::fcntl(int(socket), F_GETFL);
    return flags >= 0 && ::fcntl(int(socket), F_SETFL, flags | O_NONBLOCK) == 0
           && ::fcntl(int(socket), F_SETFD, FD_CLOEXEC) == 0;
}
QString socketErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
#endif

int pendingError(qintptr socket)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size) != 0)
        return lastSocketError();
    return error;
}

// After the connection was made: the server's reset, in whichever form the
// call that meets it reports it.
bool isReset(int error)
{
#if defined(Q_OS_WIN)
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN;
#else
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN;
#endif
}

QString failureText(int error)
{
    return isReset(error) ? QStringLiteral("the device server reset the connection") : socketErrorText(error);
}

} // namespace

DeviceServerSend::DeviceServerSend(const QString &portName, const QByteArray &bytes, DeliveryDone done, QObject *parent)
    : QObject(parent)
    , m_portName(portName)
    , m_bytes(bytes)
    , m_done(std::move(done))
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (!m_connected) {
            m_connectError = QStringLiteral("no answer within %1 s").arg(ConnectTimeoutMs / 1000);
            closeSocket(true);
            return connectNext();
        }
        fail(QStringLiteral("the device server did not close the connection within %1 s")
                 .arg((m_deadline.interval() + 500) / 1000),
             true);
    });
    m_closePoll.setInterval(10);
    connect(&m_closePoll, &QTimer::timeout, this, &DeviceServerSend::checkClosed);
    QTimer::singleShot(0, this, &DeviceServerSend::begin);
}

DeviceServerSend::~DeviceServerSend()
{
    closeSocket(true);
}

SendOutcome DeviceServerSend::sendNow(const QString &portName, const QByteArray &bytes)
{
    QEventLoop loop;
    SendOutcome outcome;
    DeviceServerSend delivery(portName, bytes, [&](const SendOutcome &result) {
        outcome = result;
        loop.quit();
    });
    loop.exec();
    return outcome;
}

// A name is looked up here, which holds the event loop; device servers are
// normally given by number, which needs no lookup.
void DeviceServerSend::begin()
{
#if defined(Q_OS_WIN)
    static const bool socketsReady = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    Q_UNUSED(socketsReady);
#endif
    const std::optional<DeviceServerAddress> address = parseDeviceServerName(m_portName);
    if (!address)
        return finish(SendOutcome::notSent(
            QStringLiteral("'%1' is not a device server address (tcp://HOST:NUMBER)").arg(m_portName)));
    const QHostInfo host = QHostInfo::fromName(address->host);
    m_addresses = host.addresses();
    if (m_addresses.isEmpty()) {
        m_connectError = host.errorString();
        return connectNext();
    }
    m_connectError = QStringLiteral("no address");
    connectNext();
}

// Each address of the name in turn, until one takes the connection.
void DeviceServerSend::connectNext()
{
    const std::optional<DeviceServerAddress> server = parseDeviceServerName(m_portName);
    if (m_addresses.isEmpty())
        return finish(SendOutcome::notSent(QStringLiteral("cannot reach %1: %2").arg(m_portName, m_connectError)));
    const QHostAddress address = m_addresses.takeFirst();

    sockaddr_storage target{};
    socklen_t targetSize = 0;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&target);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(server->port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        targetSize = sizeof(sockaddr_in);
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&target);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(server->port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        bool numbered = false;
        const uint scope = address.scopeId().toUInt(&numbered);
        in6->sin6_scope_id = numbered ? scope : QNetworkInterface::interfaceIndexFromName(address.scopeId());
        targetSize = sizeof(sockaddr_in6);
    }

    m_socket = qintptr(::socket(target.ss_family, SOCK_STREAM, IPPROTO_TCP));
    if (m_socket < 0 || !makeNonBlocking(m_socket)) {
        m_connectError = socketErrorText(lastSocketError());
        closeSocket(false);
        return connectNext();
    }
    if (::connect(m_socket, reinterpret_cast<const sockaddr *>(&target), targetSize) != 0
        && !connectPending(lastSocketError())) {
        m_connectError = socketErrorText(lastSocketError());
        closeSocket(false);
        return connectNext();
    }
    m_writeNotifier = new QSocketNotifier(m_socket, QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &DeviceServerSend::writable);
    m_deadline.start(ConnectTimeoutMs);
}

void DeviceServerSend::writable()
{
    if (!m_connected) {
        if (const int error = pendingError(m_socket)) {
            m_connectError = socketErrorText(error);
            closeSocket(false);
            return connectNext();
        }
        m_connected = true;
        if (m_bytes.isEmpty()) {
            closeSocket(false);
            return finish(SendOutcome::sent());
        }
        m_ackedAtStart = qMax<qint64>(acknowledged(), 0);
        const qint64 lineTimeMs = m_bytes.size() * 10 * 1000 / assumedLineRate;
        m_deadline.start(int(CloseTimeoutMs + lineTimeMs));
        // What the server says (the player's own bytes, if any) is read and
        // dropped, so that it can never stall the server.
        m_readNotifier = new QSocketNotifier(m_socket, QSocketNotifier::Read, this);
        connect(m_readNotifier, &QSocketNotifier::activated, this, &DeviceServerSend::readable);
    }
    while (m_handed < m_bytes.size()) {
        const auto sent = ::send(m_socket, m_bytes.constData() + m_handed, int(m_bytes.size() - m_handed), sendFlags);
        if (sent < 0) {
            const int error = lastSocketError();
            if (wouldBlock(error))
                return; // flow control: the server's stack takes more later
            return fail(failureText(error), true);
        }
        m_handed += sent;
    }
    m_writeNotifier->setEnabled(false);
    if (::shutdown(m_socket, endOfSending) != 0)
        fail(failureText(lastSocketError()), true);
}

void DeviceServerSend::readable()
{
    char dropped[512];
    for (;;) {
        const auto got = ::recv(m_socket, dropped, int(sizeof dropped), 0);
        if (got > 0)
            continue;
        if (got == 0) {
            // The end of the server's side; a reset that came with it, or a
            // close before our bytes arrived, still shows below.
            m_serverClosed = true;
            m_readNotifier->setEnabled(false);
            return checkClosed();
        }
        const int error = lastSocketError();
        if (wouldBlock(error))
            return;
        return fail(failureText(error), true);
    }
}

void DeviceServerSend::checkClosed()
{
    if (const int error = pendingError(m_socket))
        return fail(failureText(error), true);
    const qint64 acked = acknowledged();
    if (m_handed < m_bytes.size() || (acked >= 0 && acked - m_ackedAtStart < m_bytes.size())) {
        // A server that closed its side early may still take the bytes, or
        // answer them with a reset; the deadline bounds the wait.
        if (!m_closePoll.isActive())
            m_closePoll.start();
        return;
    }
    closeSocket(false);
    finish(SendOutcome::sent());
}

void DeviceServerSend::fail(const QString &what, bool reset)
{
    const qint64 acked = acknowledged();
    closeSocket(reset);
    if (m_handed == 0 || acked == m_ackedAtStart)
        return finish(SendOutcome::notSent(QStringLiteral("not sent: %1; it took none of the bytes").arg(what)));
    const QString taken = acked < 0 ? QStringLiteral("some of the bytes")
                                    : QStringLiteral("%1 of %2 bytes")
                                          .arg(qMin(acked - m_ackedAtStart, qint64(m_bytes.size())))
                                          .arg(m_bytes.size());
    finish(
        SendOutcome::unknown(QStringLiteral("%1 after taking %2; the player may have received them").arg(what, taken)));
}

void DeviceServerSend::finish(const SendOutcome &outcome)
{
    m_deadline.stop();
    m_closePoll.stop();
    if (!m_done)
        return;
    DeliveryDone done = std::move(m_done);
    m_done = nullptr;
    done(outcome);
}

// A reset discards whatever the system still holds for the server, so that
// bytes reported not sent can never arrive later.
void DeviceServerSend::closeSocket(bool reset)
{
    // Off before the descriptor goes, and deleted later: this may run inside
    // one of their own signals.
    for (QSocketNotifier *notifier : {m_writeNotifier, m_readNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_writeNotifier = nullptr;
    m_readNotifier = nullptr;
    if (m_socket < 0)
        return;
    if (reset) {
        linger abort{};
        abort.l_onoff = 1;
        abort.l_linger = 0;
        ::setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abort), sizeof abort);
    }
    closeDescriptor(m_socket);
    m_socket = -1;
}

qint64 DeviceServerSend::acknowledged() const
{
#if defined(Q_OS_LINUX)
    tcp_info info{};
    socklen_t size = sizeof info;
    if (m_socket >= 0 && ::getsockopt(int(m_socket), IPPROTO_TCP, TCP_INFO, &info, &size) == 0
        && size >= socklen_t(offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked))
        return qint64(info.tcpi_bytes_acked);
#endif
    return -1;
}
