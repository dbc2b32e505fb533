#include "remote/remotepolicy.h"
#include "remote/remotekey.h"

#include <QHttpServerRequest>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <optional>
#include <tuple>

namespace {

// The most a request may hold, headers and body: the socket takes no more
// from the system until the server has read it, and an unfinished request
// runs into its deadline.
constexpr qint64 readBufferBytes = 16 * 1024;
// Addresses whose command rates are kept, at most; a full bucket is forgotten first.
constexpr int maxBuckets = 1024;
constexpr qint64 bucketRefilledMs = 1000 * RemotePolicy::CommandBurst / RemotePolicy::CommandsPerSecond;
constexpr int keyCookieSeconds = 365 * 24 * 60 * 60;

QList<QByteArray> headerValues(const QHttpServerRequest &request, const QByteArray &name)
{
    QList<QByteArray> values;
    for (const auto &[key, value] : request.headers()) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            values << value;
    }
    return values;
}

// The value of the cookie `name` in a Cookie header, "a=1; tunaris_key=...".
std::optional<QByteArray> cookieValue(const QByteArray &header, const QByteArray &name)
{
    for (const QByteArray &pair : header.split(';')) {
        const QByteArray trimmed = pair.trimmed();
        if (trimmed.startsWith(name + '='))
            return trimmed.mid(name.size() + 1);
    }
    return std::nullopt;
}

} // namespace

// One admitted connection: its share of the slots, what it has shown of the
// key, and its clocks. The socket's child, gone with it: a socket that
// becomes a page's WebSocket is handed on with none of its signals left.
class RemotePolicy::Connection : public QObject
{
public:
    Connection(QTcpSocket *socket, const QHostAddress &share, quint64 admitted, RemotePolicy *policy)
        : QObject(socket)
        , socket(socket)
        , share(share)
        , admitted(admitted)
        , m_policy(policy)
    {
        m_idle.setSingleShot(true);
        m_deadline.setSingleShot(true);
        // Before the HTTP server's own: a request it finds whole at once has
        // stopped the deadline by the time this would start it.
        connect(socket, &QTcpSocket::readyRead, this, [this] {
            if (page)
                return;
            m_idle.start(IdleTimeoutMs);
            if (!m_deadline.isActive())
                m_deadline.start(RequestDeadlineMs);
        });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (!page)
                m_idle.start(IdleTimeoutMs);
        });
        connect(&m_idle, &QTimer::timeout, this, &Connection::expire);
        connect(&m_deadline, &QTimer::timeout, this, &Connection::expire);
        m_idle.start(IdleTimeoutMs);
        policy->m_connections.push_back(this);
    }
    ~Connection() override { leave(); }

    // Its slot is free from now on, whenever its socket goes.
    void leave()
    {
        m_idle.stop();
        m_deadline.stop();
        if (m_policy)
            m_policy->m_connections.removeOne(this);
    }

    void requestRead(Key key)
    {
        m_deadline.stop();
        proven = proven || key == Key::Held;
        shownNoKey = shownNoKey || key != Key::Held;
    }
    void becomePage()
    {
        page = proven = true;
        m_idle.stop();
        m_deadline.stop();
    }
    QTcpSocket *const socket;
    const QHostAddress share;
    const quint64 admitted; // the order of admission
    bool proven = false;
    bool shownNoKey = false;
    bool page = false;
    int answersOwed = 0;

private:
    void expire()
    {
        if (page)
            return;
        // Its command is owed an answer; closing now would leave its outcome
        // unknown to a browser that may then send it again.
        if (answersOwed > 0)
            return m_idle.start(IdleTimeoutMs);
        socket->abort();
    }

    QPointer<RemotePolicy> m_policy;
    QTimer m_idle;
    QTimer m_deadline;
};

RemotePolicy::RemotePolicy(const Site &site, Report report, QObject *parent)
    : QObject(parent)
    , m_site(site)
    , m_report(std::move(report))
{
}

RemotePolicy::~RemotePolicy() = default; // connections left are their sockets' and let go of it

bool RemotePolicy::admit(QTcpSocket *socket)
{
    const QHostAddress peer = socket->peerAddress();
    const QHostAddress share = CommandListener::shareOf(peer);
    QString refusal;
    if (!CommandListener::admits(m_allowed, peer))
        refusal = QStringLiteral("not in an allowed network");
    else
        makeRoom(share, clientText(peer), &refusal);
    if (!refusal.isEmpty()) {
        m_report(QStringLiteral("refused a connection to %1 from %2: %3").arg(m_site.name, clientText(peer), refusal));
        socket->abort();
        return false;
    }
    socket->setReadBufferSize(readBufferBytes);
    new Connection(socket, share, ++m_admitted, this); // the socket's
    return true;
}

// A slot for a newcomer from `share`: free, or made free by closing a
// connection that has not shown the key. Its own address's when that is
// full. Else one of the address holding the most such connections: a flood
// from a few addresses makes room from its own, however fast it comes back,
// and never from a phone whose first request has yet to be read. Of those,
// one that asked without the key before one still silent, the oldest first.
bool RemotePolicy::makeRoom(const QHostAddress &share, const QString &newcomer, QString *refusal)
{
    const auto sameShare = [&share](const Connection *connection) { return connection->share == share; };
    const bool addressFull =
        std::count_if(m_connections.begin(), m_connections.end(), sameShare) >= MaxConnectionsPerAddress;
    if (!addressFull && int(m_connections.size()) < MaxConnections)
        return true;
    QHash<QHostAddress, int> unproven;
    for (const Connection *connection : std::as_const(m_connections))
        unproven[connection->share] += connection->proven ? 0 : 1;
    const auto order = [&unproven](const Connection *connection) {
        return std::make_tuple(-unproven.value(connection->share), !connection->shownNoKey, connection->admitted);
    };
    Connection *yielding = nullptr;
    for (Connection *connection : std::as_const(m_connections)) {
        if (!connection->proven && (!addressFull || sameShare(connection))
            && (!yielding || order(connection) < order(yielding)))
            yielding = connection;
    }
    if (!yielding) {
        *refusal = addressFull ? QStringLiteral("%1 connections from its address already, all with the key")
                                     .arg(MaxConnectionsPerAddress)
                               : QStringLiteral("%1 connections already, all with the key").arg(MaxConnections);
        return false;
    }
    QTcpSocket *closed = yielding->socket;
    m_report(QStringLiteral("closed a connection to %1 from %2 that showed no key, to make room for %3")
                 .arg(m_site.name, clientText(closed->peerAddress()), newcomer));
    yielding->leave();
    closed->abort();
    return true;
}

void RemotePolicy::requestRead(QTcpSocket *socket, Key key)
{
    if (Connection *connection = connectionOf(socket))
        connection->requestRead(key);
}

void RemotePolicy::becomePage(QTcpSocket *socket)
{
    if (Connection *connection = connectionOf(socket))
        connection->becomePage();
}

bool RemotePolicy::isPage(const QHostAddress &peer, quint16 port) const
{
    return std::any_of(m_connections.begin(), m_connections.end(), [&](const Connection *connection) {
        return connection->page && connection->socket->peerAddress() == peer && connection->socket->peerPort() == port;
    });
}

RemotePolicy::AnswerOwed RemotePolicy::oweAnswer(QTcpSocket *socket)
{
    const QPointer<Connection> connection = connectionOf(socket);
    if (connection)
        ++connection->answersOwed;
    return AnswerOwed(nullptr, [connection](void *) {
        if (connection)
            --connection->answersOwed;
    });
}

RemotePolicy::Key RemotePolicy::keyOf(const QHttpServerRequest &request) const
{
    Key key = Key::None;
    for (const QByteArray &header : headerValues(request, "Cookie")) {
        if (const std::optional<QByteArray> given = cookieValue(header, m_site.cookie)) {
            if (isKey(*given))
                return Key::Held;
            key = Key::Wrong;
        }
    }
    return key;
}

bool RemotePolicy::isKey(const QByteArray &given) const
{
    return isRemoteKey(given, m_site.key);
}

QByteArray RemotePolicy::keyCookie() const
{
    return m_site.cookie + '=' + m_site.key + "; Path=/; Max-Age=" + QByteArray::number(keyCookieSeconds)
           + "; HttpOnly; SameSite=Strict";
}

// A page of this server names the server the request went to as its
// origin; another site's page names itself, and a browser cannot be made
// to say otherwise.
bool RemotePolicy::fromOwnPage(const QHttpServerRequest &request)
{
    const QList<QByteArray> origins = headerValues(request, "Origin");
    const QList<QByteArray> hosts = headerValues(request, "Host");
    return origins.size() == 1 && hosts.size() == 1 && !hosts.first().isEmpty()
           && origins.first().compare("http://" + hosts.first(), Qt::CaseInsensitive) == 0;
}

bool RemotePolicy::takeCommandToken(const QHostAddress &peer)
{
    const QHostAddress share = CommandListener::shareOf(peer);
    if (m_buckets.size() >= maxBuckets && !m_buckets.contains(share)) {
        m_buckets.removeIf([](const auto &bucket) { return bucket.value().filled.hasExpired(bucketRefilledMs); });
        if (m_buckets.size() >= maxBuckets)
            return false; // every one of them busy: a flood, not a venue's staff
    }
    Bucket &bucket = m_buckets[share];
    if (bucket.filled.isValid())
        bucket.tokens =
            std::min<double>(CommandBurst, bucket.tokens + bucket.filled.elapsed() * CommandsPerSecond / 1000.0);
    bucket.filled.start();
    if (bucket.tokens < 1)
        return false;
    bucket.tokens -= 1;
    return true;
}

QString RemotePolicy::clientText(const QHostAddress &address)
{
    bool ipv4 = false;
    const quint32 value = address.toIPv4Address(&ipv4);
    return ipv4 ? QHostAddress(value).toString() : address.toString();
}

RemotePolicy::Connection *RemotePolicy::connectionOf(const QTcpSocket *socket) const
{
    const auto found = std::find_if(m_connections.begin(), m_connections.end(),
                                    [socket](const Connection *connection) { return connection->socket == socket; });
    return found != m_connections.end() ? *found : nullptr;
}
