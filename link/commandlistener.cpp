#include "link/commandlistener.h"
#include "link/bytestream.h"
#include "link/commandintake.h"
#include "link/linesession.h"
#include "link/numericaddress.h"
#include "link/socketcalls.h"

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <algorithm>
#include <cstring>

#if defined(Q_OS_WIN)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace {

constexpr int udpReceiveBufferBytes = 1 << 20;
// The bytes an IPv6 client's share of the slots is counted by: its /64, the
// least a site is given, which one host may fill with addresses of its own.
constexpr int sharedIPv6PrefixBytes = 8;

// ::ffff:a.b.c.d, the form in which a socket of both kinds shows an IPv4 peer.
bool isIPv4Mapped(const QHostAddress &address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    static const quint8 prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(bytes.c, prefix, sizeof prefix) == 0;
}

QHostAddress plain(const QHostAddress &address)
{
    if (!isIPv4Mapped(address))
        return address;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    return QHostAddress(quint32(bytes[12]) << 24 | quint32(bytes[13]) << 16 | quint32(bytes[14]) << 8 | bytes[15]);
}

QHostAddress mapped(const QHostAddress &ipv4)
{
    Q_IPV6ADDR bytes = {};
    bytes[10] = bytes[11] = 0xff;
    const quint32 value = ipv4.toIPv4Address();
    for (int i = 0; i < 4; ++i)
        bytes[12 + i] = quint8(value >> (24 - 8 * i));
    return QHostAddress(bytes);
}

std::optional<QHostAddress> parseAddress(QStringView text)
{
    const std::optional<QHostAddress> address = text.contains(QLatin1Char(':')) ? parseIPv6(text) : parseIPv4(text);
    return address ? std::optional<QHostAddress>(plain(*address)) : std::nullopt;
}

QHostAddress withoutHostBits(const QHostAddress &address, int prefixLength)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 mask = prefixLength == 0 ? 0 : ~quint32(0) << (32 - prefixLength);
        return QHostAddress(address.toIPv4Address() & mask);
    }
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 0; i < 16; ++i) {
        const int kept = std::clamp(prefixLength - 8 * i, 0, 8);
        bytes[i] &= quint8(0xff00 >> kept);
    }
    return QHostAddress(bytes);
}

// "192.168.1.7:50122", "[fd00::7]:50122"
QString endpointText(const QHostAddress &address, quint16 port)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]:%2").arg(address.toString()).arg(port)
               : QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

} // namespace

// Takes the connections as descriptors: a client that ends its sending must
// still read its answers, which Qt's sockets do not allow.
class CommandListener::TcpServer : public QTcpServer
{
public:
    explicit TcpServer(CommandListener *listener)
        : QTcpServer(listener)
        , m_listener(listener)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override { m_listener->acceptTcpClient(descriptor); }

private:
    CommandListener *m_listener;
};

CommandListener::CommandListener(CommandIntake *intake, Report report, QObject *parent)
    : QObject(parent)
    , m_intake(intake)
    , m_report(std::move(report))
    , m_lineDeadlineMs(LineSession::LineDeadlineMs)
{
}

std::optional<CommandListener::Network> CommandListener::parseNetwork(const QString &text)
{
    const QList<QStringView> parts = QStringView(text).split(QLatin1Char('/'));
    if (parts.size() > 2)
        return std::nullopt;
    const bool mappedForm = parts.first().contains(QLatin1Char(':'));
    const std::optional<QHostAddress> address = parseAddress(parts.first());
    if (!address)
        return std::nullopt;
    const bool ipv4 = address->protocol() == QAbstractSocket::IPv4Protocol;
    // A mapped form counts its prefix over all 128 bits, of which the IPv4
    // address is the last 32.
    const int bits = ipv4 && !mappedForm ? 32 : 128;
    std::optional<int> prefixLength = bits;
    if (parts.size() == 2)
        prefixLength = plainDecimal(parts.at(1), bits);
    if (!prefixLength)
        return std::nullopt;
    if (ipv4 && mappedForm) {
        if (*prefixLength < 96)
            return std::nullopt; // more than the IPv4 addresses: not what a mapped form is for
        *prefixLength -= 96;
    }
    return Network(withoutHostBits(*address, *prefixLength), *prefixLength);
}

std::optional<QPair<QHostAddress, quint16>> CommandListener::parseListenAddress(const QString &text)
{
    const int colon = int(text.lastIndexOf(QLatin1Char(':')));
    if (colon <= 0)
        return std::nullopt;
    QStringView host = QStringView(text).left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
        if (!host.contains(QLatin1Char(':')))
            return std::nullopt; // brackets hold an IPv6 address only
    } else if (host.contains(QLatin1Char(':'))) {
        return std::nullopt; // an IPv6 address needs its brackets before the number
    }
    const std::optional<int> port = plainDecimal(QStringView(text).mid(colon + 1), 65535);
    const std::optional<QHostAddress> address = parseAddress(host);
    if (!port || !address)
        return std::nullopt;
    return QPair<QHostAddress, quint16>(*address, quint16(*port));
}

QString CommandListener::networkText(const Network &network)
{
    return QStringLiteral("%1/%2").arg(network.first.toString()).arg(network.second);
}

bool CommandListener::isDualStack(const QHostAddress &address)
{
    // Strictly: the tolerant comparison takes 0.0.0.0 for [::] as well.
    return address.isEqual(QHostAddress::AnyIPv6, QHostAddress::StrictConversion);
}

// [::] as given means every client; Qt's dual-stack any-address takes the
// IPv4 ones too, where the IPv6 one alone would not.
QHostAddress CommandListener::bindAddress(const QHostAddress &address)
{
    return isDualStack(address) ? QHostAddress(QHostAddress::Any) : address;
}

bool CommandListener::admits(const QList<Network> &networks, const QHostAddress &peer)
{
    const QHostAddress address = plain(peer);
    if (networks.isEmpty())
        return address.isLoopback();
    const bool ipv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    return std::any_of(networks.begin(), networks.end(), [&](const Network &network) {
        // An IPv6 network that spans mapped addresses (::/0) holds IPv4 clients too.
        const bool ipv6Network = network.first.protocol() == QAbstractSocket::IPv6Protocol;
        return (ipv4 && ipv6Network ? mapped(address) : address).isInSubnet(network);
    });
}

QHostAddress CommandListener::shareOf(const QHostAddress &peer)
{
    const QHostAddress address = plain(peer);
    return address.protocol() == QAbstractSocket::IPv6Protocol ? withoutHostBits(address, 8 * sharedIPv6PrefixBytes)
                                                               : address;
}

bool CommandListener::listenTcp(const QHostAddress &address, quint16 port, QString *error)
{
    m_tcp = new TcpServer(this);
    if (m_tcp->listen(bindAddress(address), port))
        return true;
    *error = m_tcp->errorString();
    return false;
}

bool CommandListener::listenUdp(const QHostAddress &address, quint16 port, QString *error)
{
    m_udp = new QUdpSocket(this);
    connect(m_udp, &QUdpSocket::readyRead, this, &CommandListener::readDatagrams);
    if (m_udp->bind(bindAddress(address), port)) {
        // Room for a burst, so that a flood from one sender does not push
        // the others' datagrams out before they are read.
        m_udp->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, udpReceiveBufferBytes);
        return true;
    }
    *error = m_udp->errorString();
    return false;
}

quint16 CommandListener::port() const
{
    return m_tcp ? m_tcp->serverPort() : m_udp ? m_udp->localPort() : 0;
}

bool CommandListener::isAllowed(const QHostAddress &peer) const
{
    return admits(m_allowed, peer);
}

void CommandListener::acceptTcpClient(qintptr descriptor)
{
    sockaddr_storage name{};
    socklen_t size = sizeof name;
    QHostAddress address;
    quint16 port = 0;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&name), &size) == 0) {
        address = plain(QHostAddress(reinterpret_cast<const sockaddr *>(&name)));
        port = name.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&name)->sin6_port)
                                          : ntohs(reinterpret_cast<const sockaddr_in *>(&name)->sin_port);
    }
    const QString peer = address.toString();
#if defined(Q_OS_WIN)
    Q_UNUSED(size); // getpeername's size is an int there
#endif
    if (!isAllowed(address)) {
        m_report(QStringLiteral("refused a connection from %1: not in an allowed network").arg(peer));
        SocketCalls::close(descriptor, true);
        return;
    }
    const QHostAddress share = shareOf(address);
    auto *session = new LineSession(socketStream(descriptor, endpointText(address, port)), m_intake,
                                    {QStringLiteral("tcp"), endpointText(address, port), share.toString()},
                                    IdleTimeoutMs, this, m_lineDeadlineMs);
    QString full;
    if (!makeRoomFor(share, &full)) {
        m_report(QStringLiteral("turned away %1: %2").arg(peer, full));
        session->turnAway(QStringLiteral("too many clients, try again"));
        return;
    }
    m_clients << Client{session, share};
}

// When the slots are full, the oldest client that has sent no command yet
// (nor waits for an answer) gives way: holding a connection proves nothing,
// and a show-control system that sends its lines keeps its slot.
bool CommandListener::makeRoomFor(const QHostAddress &share, QString *full)
{
    m_clients.removeIf([](const Client &client) { return !client.session; });
    const auto fromShare = [&](const Client &client) { return client.share == share; };
    const bool shareFull = std::count_if(m_clients.begin(), m_clients.end(), fromShare) >= MaxTcpClientsPerAddress;
    if (!shareFull && m_clients.size() < MaxTcpClients)
        return true;
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
        if ((!shareFull || fromShare(*it)) && !it->session->hasProvenItself() && !it->session->isOwed()) {
            m_report(QStringLiteral("let go of %1 to make room: it had sent no command").arg(it->share.toString()));
            it->session->turnAway(QStringLiteral("too many clients, try again"));
            m_clients.erase(it);
            return true;
        }
    }
    *full = shareFull ? QStringLiteral("%1 clients from its address already").arg(MaxTcpClientsPerAddress)
                      : QStringLiteral("%1 clients already").arg(MaxTcpClients);
    return false;
}

// Every datagram waiting is taken before returning: the socket tells of new
// ones only after what it told of was read in answer to that very signal.
// Reading the rest later, from a timer, left it silent for good. Each is
// cheap to refuse, and the receive buffer bounds a burst, so the event loop
// is not held for long.
void CommandListener::readDatagrams()
{
    while (m_udp->hasPendingDatagrams() && takeDatagram()) {}
}

bool CommandListener::takeDatagram()
{
    // Read whole, whatever its size, so that nothing of it is left behind
    // or cut off unseen.
    const QNetworkDatagram datagram = m_udp->receiveDatagram();
    if (!datagram.isValid())
        return false; // the socket failed; its next signal tries again
    const QHostAddress address = plain(datagram.senderAddress());
    const QString sender = address.toString();
    if (!isAllowed(address)) {
        m_report(QStringLiteral("refused a datagram from %1: not in an allowed network").arg(sender));
        return true;
    }
    const auto client =
        CommandIntake::client({QStringLiteral("udp"), sender, shareOf(address).toString()}, QStringLiteral("datagram"));
    m_intake->take(client, datagram.data(), [this, sender](const CommandIntake::Reply &reply) {
        if (!reply.outcome.isSent())
            m_report(QStringLiteral("datagram from %1: %2").arg(sender, reply.outcome.reason));
    });
    return true;
}
