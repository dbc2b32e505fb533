#pragma once

#include "link/commandlistener.h"
#include "link/throttledreport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>

#include <memory>

class QHttpServerRequest;
class QTcpSocket;

// The web remote's HTTP policy: who may connect, and what a request must
// show before anything is done for it. Only the networks allowed (the
// loopback addresses alone when none is); slots in all and per address; a
// request whole within its deadline and a connection closed when it idles;
// commands per address and second; the key, which a browser holds in a
// cookie; and the Origin of the remote's own page, which another site's
// page cannot claim.
//
// Slots go to those who proved themselves: a connection that has shown the
// key (a page's events among them) keeps its slot; when the slots are full,
// one that has shown none gives way to the newcomer: of the newcomer's
// address when that is full, else of the address holding the most of them;
// one whose request came without the key before one that has yet to finish
// its first; the oldest first. A flood without the key cannot keep the
// staff out.
class RemotePolicy : public QObject
{
public:
    using Network = CommandListener::Network;
    using Report = CommandListener::Report;

    static constexpr int MaxConnections = 64;
    // A browser opens up to six connections to a server, and one per page
    // for its events: two phones behind one address, or one with two tabs.
    static constexpr int MaxConnectionsPerAddress = 16;
    // A request must be whole within this time of its first byte; a
    // connection that carries nothing for longer than the idle time is
    // closed, unless it is owed the answer to a command.
    static constexpr int RequestDeadlineMs = 10 * 1000;
    static constexpr int IdleTimeoutMs = 60 * 1000;
    // Commands one address may send at once, and per second after that: a
    // finger on a volume button, not a script.
    static constexpr int CommandBurst = 10;
    static constexpr int CommandsPerSecond = 5;

    // What a request holds of the key: none, a wrong one (a key replaced
    // since, or a guess), or the key.
    enum class Key { None, Wrong, Held };

    // Held while a command of a connection waits for its outcome; dropped,
    // the connection may idle out again.
    using AnswerOwed = std::shared_ptr<void>;

    // Which page this is: its key, the cookie that holds it (a browser sends
    // a host's cookies to each of its ports, so a page of each kind has its
    // own) and its name in reports, "the web remote".
    struct Site
    {
        QByteArray key;
        QByteArray cookie;
        QString name;
    };

    RemotePolicy(const Site &site, Report report, QObject *parent = nullptr);
    ~RemotePolicy() override;

    // No networks: the loopback addresses only.
    void allow(const QList<Network> &networks) { m_allowed = networks; }

    // A new connection, before a byte of it is read: admitted, and followed
    // until its socket is gone, or refused, reported and closed.
    bool admit(QTcpSocket *socket);
    // A request was read whole on `socket`: its deadline stops, and the key
    // it held counts for the connection.
    void requestRead(QTcpSocket *socket, Key key);
    // The connection now carries a page's events, which pings watch.
    void becomePage(QTcpSocket *socket);
    bool isPage(const QHostAddress &peer, quint16 port) const;
    AnswerOwed oweAnswer(QTcpSocket *socket);

    Key keyOf(const QHttpServerRequest &request) const;
    bool isKey(const QByteArray &given) const;
    // The cookie that carries the key from the operator's link on.
    QByteArray keyCookie() const;
    // Whether a request comes from the remote's own page, by its Origin.
    static bool fromOwnPage(const QHttpServerRequest &request);
    // A command from `peer` within its address's rate, counted; false when over it.
    bool takeCommandToken(const QHostAddress &peer);

    // What a client did, refused or gave way: reports a flood must not fill,
    // held to one a second.
    void report(const QString &text) { m_report(text); }
    // "192.168.1.7" for an IPv4 client on a dual-stack socket too.
    static QString clientText(const QHostAddress &address);

private:
    class Connection;

    bool makeRoom(const QHostAddress &share, const QString &newcomer, QString *refusal);
    Connection *connectionOf(const QTcpSocket *socket) const;

    Site m_site;
    ThrottledReport m_report;
    QList<Network> m_allowed;
    QList<Connection *> m_connections; // each its socket's, gone with it
    quint64 m_admitted = 0;
    struct Bucket
    {
        double tokens = CommandBurst;
        QElapsedTimer filled;
    };
    QHash<QHostAddress, Bucket> m_buckets;
};
