#pragma once

#include "link/throttledreport.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class CommandIntake;
class LineSession;
class QTcpServer;
class QUdpSocket;

// Command lines from the network, for show-control systems that can only
// send short text: over TCP one command per line (LF, CR LF, CR or NUL ends
// it), each answered as the delivery contract says (linesession.h); over UDP
// one command per datagram, with or without a line end, not answered. Both
// are doors of the one intake (commandintake.h). Safe by default: only the
// networks allowed are served (the loopback addresses alone when none is
// given), any other client is closed at once and reported; lines are
// bounded in size and time; clients are limited in number, per address and
// idle time, and when the slots are full a client that has not yet sent a
// command gives way to a new one, so that a few slow hosts never keep a
// show-control system out; datagrams are read until none is left, each
// whole, and a flood is dropped, not queued.
class CommandListener : public QObject
{
    Q_OBJECT

public:
    using Network = QPair<QHostAddress, int>;

    // Where reports go: refused clients, dropped datagrams.
    using Report = std::function<void(const QString &)>;

    static constexpr int MaxTcpClients = 16;
    // One address (an IPv6 client: its /64) holds at most this many of them,
    // so that slow or idle connections from one place cannot lock out the rest.
    static constexpr int MaxTcpClientsPerAddress = 4;
    static constexpr int IdleTimeoutMs = 5 * 60 * 1000;

    CommandListener(CommandIntake *intake, Report report, QObject *parent = nullptr);

    // Only canonical numeric forms, so that what is served is what was meant:
    // IPv4 dotted decimal with four parts and no leading zeros, IPv6 as the
    // system's inet_pton reads it (no zone), a prefix length in decimal, in
    // range, without leading zeros. "192.168.1.0/24", "10.0.0.7", "fd00::/8";
    // an IPv4-mapped IPv6 form (::ffff:10.0.0.7, ::ffff:10.0.0.0/104) is the
    // IPv4 network it names. Host bits are cleared. Nothing when it is not a
    // network.
    static std::optional<Network> parseNetwork(const QString &text);
    // "0.0.0.0:4001", "[::]:4001", "[fd00::1]:4001" in the same forms, the
    // number in decimal without leading zeros; no names to look up.
    static std::optional<QPair<QHostAddress, quint16>> parseListenAddress(const QString &text);
    // "192.168.1.0/24", "fd00::/8".
    static QString networkText(const Network &network);
    // [::], the IPv6 any-address, which this listener serves IPv4 clients on too.
    static bool isDualStack(const QHostAddress &address);
    // What a server listening on `address` binds: [::] takes IPv4 clients too.
    static QHostAddress bindAddress(const QHostAddress &address);
    // Whether `networks` admit a client at `peer`; no networks: the loopback
    // addresses only. Every service of the bridge admits clients this way.
    static bool admits(const QList<Network> &networks, const QHostAddress &peer);
    // What counts against one client's share of the slots: its address, for
    // an IPv6 client its /64, which one host may fill with addresses of its own.
    static QHostAddress shareOf(const QHostAddress &peer);

    // No networks: the loopback addresses only.
    void allow(const QList<Network> &networks) { m_allowed = networks; }
    // How long a begun line may take to end; for tests that cannot wait the
    // usual time.
    void setLineDeadline(int ms) { m_lineDeadlineMs = ms; }
    // On a dual-stack address, IPv4 clients too.
    bool listenTcp(const QHostAddress &address, quint16 port, QString *error);
    bool listenUdp(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const;

private:
    class TcpServer;
    struct Client
    {
        QPointer<LineSession> session;
        QHostAddress share;
    };

    bool isAllowed(const QHostAddress &peer) const;
    void acceptTcpClient(qintptr descriptor);
    bool makeRoomFor(const QHostAddress &share, QString *full);
    void readDatagrams();
    bool takeDatagram(); // false when the socket could not be read

    CommandIntake *m_intake;
    ThrottledReport m_report;
    QList<Network> m_allowed;
    int m_lineDeadlineMs; // how long a begun line may take (linesession.h)
    TcpServer *m_tcp = nullptr;
    QUdpSocket *m_udp = nullptr;
    QList<Client> m_clients; // oldest first
};
