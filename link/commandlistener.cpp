#include "link/commandlistener.h"
#include "link/commandsession.h"

#include <QNetworkDatagram>

#include <algorithm>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

namespace {

constexpr int datagramsPerTurn = 64;
constexpr int udpReceiveBufferBytes = 1 << 20;
constexpr int reportIntervalMs = 1000;

// An IPv4 client of a socket that listens on both kinds shows as ::ffff:a.b.c.d.
QHostAddress plain(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4) : address;
}

} // namespace

CommandListener::CommandListener(Deliver deliver, Report report, QObject *parent)
    : QObject(parent)
    , m_deliver(std::move(deliver))
    , m_report(std::move(report))
{
    m_reportLater.setSingleShot(true);
    connect(&m_reportLater, &QTimer::timeout, this, [this] {
        m_report(QStringLiteral("%1 more like the last report").arg(m_unreported));
        m_unreported = 0;
        m_lastReport.start();
    });
}

std::optional<CommandListener::Network> CommandListener::parseNetwork(const QString &text)
{
    if (text.contains(QLatin1Char('/'))) {
        const Network network = QHostAddress::parseSubnet(text);
        if (network.second < 0)
            return std::nullopt;
        return network;
    }
    const QHostAddress host(text);
    if (host.isNull())
        return std::nullopt;
    return Network(host, host.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128);
}

std::optional<QPair<QHostAddress, quint16>> CommandListener::parseListenAddress(const QString &text)
{
    const int colon = int(text.lastIndexOf(QLatin1Char(':')));
    if (colon <= 0)
        return std::nullopt;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return std::nullopt; // an IPv6 address needs its brackets before the number
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok, 10);
    const QHostAddress address(host);
    if (!ok || port > 65535 || address.isNull())
        return std::nullopt;
    return QPair<QHostAddress, quint16>(address, quint16(port));
}

bool CommandListener::listenTcp(const QHostAddress &address, quint16 port, QString *error)
{
    m_tcp = new QTcpServer(this);
    connect(m_tcp, &QTcpServer::newConnection, this, &CommandListener::acceptTcpClients);
    if (m_tcp->listen(address, port))
        return true;
    *error = m_tcp->errorString();
    return false;
}

bool CommandListener::listenUdp(const QHostAddress &address, quint16 port, QString *error)
{
    m_udp = new QUdpSocket(this);
    connect(m_udp, &QUdpSocket::readyRead, this, &CommandListener::readDatagrams);
    if (m_udp->bind(address, port)) {
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
    const QHostAddress address = plain(peer);
    if (m_allowed.isEmpty())
        return address.isLoopback();
    return std::any_of(m_allowed.begin(), m_allowed.end(),
                       [&](const Network &network) { return address.isInSubnet(network); });
}

void CommandListener::acceptTcpClients()
{
    while (QTcpSocket *socket = m_tcp->nextPendingConnection()) {
        const QString peer = plain(socket->peerAddress()).toString();
        if (!isAllowed(socket->peerAddress())) {
            reportThrottled(QStringLiteral("refused a connection from %1: not in an allowed network").arg(peer));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        if (m_tcpClients >= MaxTcpClients) {
            reportThrottled(QStringLiteral("turned away %1: %2 clients already").arg(peer).arg(MaxTcpClients));
            socket->write(errorReply(QStringLiteral("too many clients, try again")));
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        ++m_tcpClients;
        auto *session = new CommandSession<QTcpSocket>(socket, m_deliver, IdleTimeoutMs, this);
        connect(session, &QObject::destroyed, this, [this] { --m_tcpClients; });
    }
}

void CommandListener::readDatagrams()
{
    for (int budget = datagramsPerTurn; budget > 0 && m_udp->hasPendingDatagrams(); --budget) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram(MaxCommandLineLength + 2);
        const QString sender = plain(datagram.senderAddress()).toString();
        if (!isAllowed(datagram.senderAddress())) {
            reportThrottled(QStringLiteral("refused a datagram from %1: not in an allowed network").arg(sender));
            continue;
        }
        CommandLineReader reader;
        QList<CommandLineReader::Line> lines = reader.feed(datagram.data());
        lines += reader.finish();
        QString error;
        CommandLineResult parsed;
        if (lines.size() != 1)
            error = QStringLiteral("one command per datagram");
        else if (!lines.first().error.isEmpty())
            error = lines.first().error;
        else if (parsed = parseCommandLine(lines.first().text); !parsed.command)
            error = parsed.error;
        else if (m_queuedDatagrams >= MaxQueuedDatagrams)
            error = QStringLiteral("dropped, %1 commands already waiting for the line").arg(MaxQueuedDatagrams);
        if (!error.isEmpty()) {
            reportThrottled(QStringLiteral("datagram from %1: %2").arg(sender, error));
            continue;
        }
        ++m_queuedDatagrams;
        m_deliver(*parsed.command, [this, sender](const SendOutcome &outcome) {
            --m_queuedDatagrams;
            if (!outcome.isSent())
                reportThrottled(QStringLiteral("datagram from %1: %2").arg(sender, outcome.reason));
        });
    }
    // A flood must not keep the event loop to itself.
    if (m_udp->hasPendingDatagrams())
        QTimer::singleShot(0, this, &CommandListener::readDatagrams);
}

// At most one report a second: a flood of refused clients must not become a
// flood of reports. What is held back is counted and told later.
void CommandListener::reportThrottled(const QString &text)
{
    if (m_lastReport.isValid() && !m_lastReport.hasExpired(reportIntervalMs)) {
        ++m_unreported;
        if (!m_reportLater.isActive())
            m_reportLater.start(int(reportIntervalMs - m_lastReport.elapsed()));
        return;
    }
    m_reportLater.stop();
    if (m_unreported > 0)
        m_report(QStringLiteral("%1 more like the last report").arg(m_unreported));
    m_unreported = 0;
    m_lastReport.start();
    m_report(text);
}
