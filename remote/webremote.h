#pragma once

#include "command/commandline.h"
#include "link/commandlistener.h"
#include "link/playerlink.h"
#include "link/throttledreport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>

class QHttpServerRequest;
class QHttpServerResponder;
class QTcpSocket;
class QWebSocket;

// The venue's remote: the player's controls as one small page for a phone,
// served over plain HTTP from the program's own resources. A command comes
// as POST /command, its body one command in the grammar's words, and goes
// through the same delivery as a TCP line, answered in the same words
// ("ok 20 ff ff ff", "error <reason>", "unknown <reason>"). Every page
// follows the link's state and every command's echo over a WebSocket
// (/events), which carries nothing the other way.
//
// Only those the operator lets in: the networks allowed, as for the TCP
// lines (the loopback addresses alone when none is given), and of those
// only a browser that holds the key. The link the operator hands out
// carries it once (/?key=...); it is then kept in a cookie the page's
// scripts cannot read and other sites' pages never send (HttpOnly,
// SameSite=Strict), and a command or a WebSocket is taken only from this
// server's own page (its Origin). No GET changes anything. Every byte from
// a client is taken as hostile: requests are bounded in size and time,
// clients in number, per address and in commands per second.
class WebRemote : public QObject
{
    Q_OBJECT

public:
    using Network = CommandListener::Network;
    using Report = CommandListener::Report;

    static constexpr int MaxConnections = 64;
    // A browser opens up to six connections to a server, and one per page
    // for its events: two phones behind one address, or one with two tabs.
    static constexpr int MaxConnectionsPerAddress = 16;
    // A request must be whole within this time of its first byte; a
    // connection that carries nothing for longer than the idle time is
    // closed, unless a command of its own is still on its way.
    static constexpr int RequestDeadlineMs = 10 * 1000;
    static constexpr int IdleTimeoutMs = 60 * 1000;
    // A page that does not answer two pings in a row has gone (a phone put
    // away drops its connection without a word).
    static constexpr int PingIntervalMs = 30 * 1000;
    // Commands one client may send at once, and per second after that: a
    // finger on a volume button, not a script.
    static constexpr int CommandBurst = 10;
    static constexpr int CommandsPerSecond = 5;
    // Commands of all pages waiting for the line at most; more are refused.
    static constexpr int MaxWaitingCommands = 16;

    // `key`: what a browser must hold (remotekey.h); `deliver`: the way to
    // the player every command of the bridge takes.
    WebRemote(const QByteArray &key, DeliverCommand deliver, Report report, QObject *parent = nullptr);
    ~WebRemote() override;

    // No networks: the loopback addresses only.
    void allow(const QList<Network> &networks) { m_allowed = networks; }
    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const;

    // What every page shows of the link to the player, now and on opening.
    void showLink(const QString &portName, const PlayerLink::State &link);
    // A command the bridge delivered, from whichever client, and what
    // became of it: every page echoes it, as the console's status line does.
    void echo(const PlayerCommand &command, const SendOutcome &outcome);

private:
    class HttpServer;
    class TcpServer;
    class Client;
    struct Page;

    bool admit(QTcpSocket *socket);
    Client *clientOf(const QTcpSocket *socket) const;
    void handle(const QHttpServerRequest &request, QTcpSocket *socket, QHttpServerResponder &&responder);
    bool acceptPage(const QHttpServerRequest &request, QTcpSocket *socket);
    void openWithKey(const QHttpServerRequest &request, QHttpServerResponder &&responder);
    void takeCommand(const QHttpServerRequest &request, QTcpSocket *socket, QHttpServerResponder &&responder);
    bool takeToken(const QHostAddress &share);
    bool holdsKey(const QHttpServerRequest &request) const;
    void takePages();
    void pingPages();
    void tellPages(const QByteArray &message);
    bool tellPage(Page *page, const QByteArray &message);
    void dropPage(Page *page);

    QByteArray m_key;
    DeliverCommand m_deliver;
    ThrottledReport m_report;
    QList<Network> m_allowed;
    QList<Client *> m_clients;
    int m_connections = 0;
    QHash<QHostAddress, int> m_connectionsPerAddress;
    struct Bucket
    {
        double tokens = CommandBurst;
        QElapsedTimer filled;
    };
    QHash<QHostAddress, Bucket> m_buckets;
    int m_waiting = 0;
    QByteArray m_linkMessage;
    QByteArray m_echoMessage;
    QList<Page *> m_pages;
    QTimer m_ping;
    // Last: its connections are let go of while the counts above still stand.
    std::unique_ptr<HttpServer> m_http;
    TcpServer *m_tcp = nullptr;
};
