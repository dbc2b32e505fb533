#include "link/deviceserver.h"
#include "link/portnames.h"
#include "link/socketcalls.h"

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

#if defined(Q_OS_LINUX)
// Connection states as tcp_info gives them; the C library's <netinet/tcp.h>
// names them (TCP_CLOSE_WAIT, ...) but clashes with <linux/tcp.h>.
constexpr int linuxCloseWait = 8; // their end came, ours not yet sent
constexpr int linuxLastAck = 9;   // their end came first, ours followed
constexpr int linuxClosing = 11;  // both ends crossed on the way
#endif

QString failureText(int error)
{
    return SocketCalls::failureText(error, QStringLiteral("the device server"));
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
    m_endPause.setSingleShot(true);
    connect(&m_endPause, &QTimer::timeout, this, &DeviceServerSend::endSending);
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
    SocketCalls::startSockets();
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
    if (m_socket < 0 || !SocketCalls::makeNonBlocking(m_socket)) {
        m_connectError = SocketCalls::errorText(SocketCalls::lastError());
        closeSocket(false);
        return connectNext();
    }
    if (::connect(m_socket, reinterpret_cast<const sockaddr *>(&target), targetSize) != 0
        && !SocketCalls::connectPending(SocketCalls::lastError())) {
        m_connectError = SocketCalls::errorText(SocketCalls::lastError());
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
        if (const int error = SocketCalls::pendingError(m_socket)) {
            m_connectError = SocketCalls::errorText(error);
            closeSocket(false);
            return connectNext();
        }
        m_connected = true;
        // A server that ended its side before a byte of ours arrived did not
        // take them: nothing is written to it.
        if (!m_bytes.isEmpty() && serverEndedEarly()) {
            closeSocket(true);
            return finish(SendOutcome::notSent(
                QStringLiteral("not sent: the device server closed the connection before taking any byte")));
        }
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
        const qint64 sent = SocketCalls::send(m_socket, m_bytes.constData() + m_handed, m_bytes.size() - m_handed);
        if (sent < 0) {
            const int error = SocketCalls::lastError();
            if (SocketCalls::wouldBlock(error))
                return; // flow control: the server's stack takes more later
            return fail(failureText(error), true);
        }
        m_handed += sent;
    }
    m_writeNotifier->setEnabled(false);
    // A moment before ours, for a server that ends its side on its own
    // (without reading up to our end) to show it.
    m_endPause.start(EndPauseMs);
}

void DeviceServerSend::endSending()
{
    // Its end, already here, came before ours could reach it.
    if (SocketCalls::peerEnded(m_socket))
        m_closedInOrder = false;
    if (!SocketCalls::endSending(m_socket))
        return fail(failureText(SocketCalls::lastError()), true);
    m_endSent = true;
}

void DeviceServerSend::readable()
{
    char dropped[512];
    for (;;) {
        const qint64 got = SocketCalls::receive(m_socket, dropped, sizeof dropped);
        if (got > 0)
            continue;
        if (got == 0) {
            // The end of the server's side; a reset that came with it, or a
            // close before our bytes arrived, still shows below. An end that
            // came before ours was sent cannot follow it, whatever the system
            // tells (and Windows tells nothing, nor counts what was
            // acknowledged, so this is all it has).
            m_serverClosed = true;
            if (!m_closedInOrder)
                m_closedInOrder = m_endSent ? closedAfterUs() : std::optional<bool>(false);
            m_readNotifier->setEnabled(false);
            return checkClosed();
        }
        const int error = SocketCalls::lastError();
        if (SocketCalls::wouldBlock(error))
            return;
        return fail(failureText(error), true);
    }
}

void DeviceServerSend::checkClosed()
{
    if (const int error = SocketCalls::pendingError(m_socket))
        return fail(failureText(error), true);
    // Its end came before ours reached it: it did not read up to our end,
    // so whatever it took may never have reached the player.
    if (m_closedInOrder == false)
        return fail(QStringLiteral("the device server closed its side before it had read all of ours"), true);
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
    m_endPause.stop();
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
    SocketCalls::close(m_socket, reset);
    m_socket = -1;
}

// Peeks without taking: the end of the server's side is already there.
bool DeviceServerSend::serverEndedEarly() const
{
    return SocketCalls::peerEnded(m_socket);
}

// Whether the server's end came only after ours had reached it, which a
// server that reads up to our end and then closes does: its end then
// acknowledges ours. One that crossed ours, or came before it, leaves the
// connection closing from both sides at once, or waiting for our end.
// Nothing when the system does not say.
std::optional<bool> DeviceServerSend::closedAfterUs() const
{
#if defined(Q_OS_LINUX)
    tcp_info info{};
    socklen_t size = sizeof info;
    if (m_socket >= 0 && ::getsockopt(int(m_socket), IPPROTO_TCP, TCP_INFO, &info, &size) == 0)
        return info.tcpi_state != linuxCloseWait && info.tcpi_state != linuxLastAck && info.tcpi_state != linuxClosing;
#endif
    return std::nullopt;
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

DeviceServerLink::DeviceServerLink(const QString &portName, QObject *parent)
    : m_portName(portName)
{
    setParent(parent);
}

DeviceServerLink::~DeviceServerLink()
{
    delete m_sending;
    for (const DeliveryDone &done : std::exchange(m_leaving, {}))
        done(SendOutcome::unknown(QStringLiteral("the connection to the device server was abandoned")));
    for (const DeliveryDone &done : std::exchange(m_batch, {}))
        done(SendOutcome::notSent(QStringLiteral("not sent: the link to the device server was let go")));
}

int DeviceServerLink::room()
{
    return m_sending ? 0 : int(MaxBatch - m_batch.size());
}

void DeviceServerLink::send(const CommandFrame &frame, const QString &, DeliveryDone done)
{
    m_bytes += frameBytes(frame);
    m_batch << std::move(done);
    if (!std::exchange(m_starting, true))
        QMetaObject::invokeMethod(this, &DeviceServerLink::start, Qt::QueuedConnection);
}

// A connection kept open could only ever say that our system took the
// bytes; its orderly close is the server's word that it took them all.
void DeviceServerLink::start()
{
    m_starting = false;
    m_leaving = std::exchange(m_batch, {});
    m_sending = new DeviceServerSend(
        m_portName, std::exchange(m_bytes, {}),
        [this](const SendOutcome &outcome) {
            m_sending->deleteLater();
            m_sending = nullptr;
            for (const DeliveryDone &done : std::exchange(m_leaving, {}))
                done(outcome);
            if (outcome.isSent())
                emit roomChanged();
            else
                emit failed(outcome.reason);
        },
        this);
}
