#pragma once

#include "command/commandline.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class QTcpServer;
class QUdpSocket;

// Command lines from the network, for show-control systems that can only
// send short text: over TCP one command per line (LF, CR LF, CR or NUL ends
// it), each answered "ok <bytes>" or "error <reason>"; over UDP one command
// per datagram, with or without a line end, not answered. Safe by default:
// only the networks allowed are served (the loopback address alone when none
// is given), any other client is closed at once and reported; lines are
// bounded and checked before anything is sent; clients are limited in number
// and idle time, and a flood of datagrams is dropped, not queued.
class CommandListener : public QObject
{
    Q_OBJECT

public:
    using Network = QPair<QHostAddress, int>;
    using Deliver = DeliverCommand;

    // Where reports go: refused clients, dropped datagrams.
    using Report = std::function<void(const QString &)>;

    static constexpr int MaxTcpClients = 16;
    static constexpr int IdleTimeoutMs = 5 * 60 * 1000;
    // Datagrams waiting for the line at most; more are dropped.
    static constexpr int MaxQueuedDatagrams = 16;

    CommandListener(Deliver deliver, Report report, QObject *parent = nullptr);

    // "192.168.1.0/24", "10.0.0.7", "fd00::/8"; nothing when it is not a network.
    static std::optional<Network> parseNetwork(const QString &text);
    // "0.0.0.0:4001", "[::]:4001"; only numeric addresses, no names to look up.
    static std::optional<QPair<QHostAddress, quint16>> parseListenAddress(const QString &text);

    // No networks: the loopback address only.
    void allow(const QList<Network> &networks) { m_allowed = networks; }
    bool listenTcp(const QHostAddress &address, quint16 port, QString *error);
    bool listenUdp(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const;

private:
    bool isAllowed(const QHostAddress &peer) const;
    void acceptTcpClients();
    void readDatagrams();
    void reportThrottled(const QString &text);

    Deliver m_deliver;
    Report m_report;
    QList<Network> m_allowed;
    QTcpServer *m_tcp = nullptr;
    QUdpSocket *m_udp = nullptr;
    int m_tcpClients = 0;
    int m_queuedDatagrams = 0;
    QElapsedTimer m_lastReport;
    QTimer m_reportLater;
    int m_unreported = 0;
};
