#include "remote/webremote.h"
#include "command/commandgrammar.h"
#include "remote/remotekey.h"
#include "remote/remotetexts.h"

#include <QAbstractHttpServer>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>

#include <algorithm>

namespace {

using Status = QHttpServerResponder::StatusCode;

// The most a request may hold, headers and body: the socket takes no more
// from the system until the server has read it, and an unfinished request
// runs into its deadline.
constexpr qint64 readBufferBytes = 16 * 1024;
// Events a page leaves unread, at most, before it is dropped.
constexpr qint64 maxUnsentEventBytes = 64 * 1024;
// Clients whose command rates are kept, at most; a full bucket is forgotten first.
constexpr int maxBuckets = 1024;
constexpr qint64 bucketRefilledMs = 1000 * WebRemote::CommandBurst / WebRemote::CommandsPerSecond;
constexpr int keyCookieSeconds = 365 * 24 * 60 * 60;
const QByteArray keyCookie = QByteArrayLiteral("tunaris_key");
const QByteArray textType = QByteArrayLiteral("text/plain; charset=utf-8");

struct PageFile
{
    const char *path;
    const char *resource;
    const char *type;
};
const PageFile pageFiles[] = {
    {"/", ":/remote/page/index.html", "text/html; charset=utf-8"},
    {"/remote.css", ":/remote/page/remote.css", "text/css; charset=utf-8"},
    {"/remote.js", ":/remote/page/remote.js", "text/javascript; charset=utf-8"},
    {"/icon.png", ":/remote/tunaris-256.png", "image/png"},
};

QByteArray pageFile(const char *resource)
{
    QFile file(QString::fromLatin1(resource));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("the web remote's page %s is missing from its resources", resource);
    return file.readAll();
}

// "192.168.1.7" for an IPv4 client on a dual-stack socket too.
QString clientText(const QHostAddress &address)
{
    bool ipv4 = false;
    const quint32 value = address.toIPv4Address(&ipv4);
    return ipv4 ? QHostAddress(value).toString() : address.toString();
}

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
QByteArray cookieValue(const QByteArray &header, const QByteArray &name)
{
    for (const QByteArray &pair : header.split(';')) {
        const QByteArray trimmed = pair.trimmed();
        if (trimmed.startsWith(name + '='))
            return trimmed.mid(name.size() + 1);
    }
    return QByteArray();
}

// A page of this server names the server the request went to as its
// origin; another site's page names itself, and a browser cannot be made
// to say otherwise.
bool fromOwnPage(const QHttpServerRequest &request)
{
    const QList<QByteArray> origins = headerValues(request, "Origin");
    const QList<QByteArray> hosts = headerValues(request, "Host");
    return origins.size() == 1 && hosts.size() == 1 && !hosts.first().isEmpty()
           && origins.first().compare("http://" + hosts.first(), Qt::CaseInsensitive) == 0;
}

QHttpServerResponse reply(Status status, const QByteArray &type, const QByteArray &body)
{
    QHttpServerResponse response(type, body, status);
    // Nothing here is for a cache, another site's frame or a guess at its type.
    response.setHeader("Cache-Control", "no-store");
    response.setHeader("X-Content-Type-Options", "nosniff");
    response.setHeader("Referrer-Policy", "no-referrer");
    response.setHeader("X-Frame-Options", "DENY");
    response.setHeader("Content-Security-Policy",
                       "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                       "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
    return response;
}

void refuse(QHttpServerResponder &responder, Status status, const QString &reason)
{
    reply(status, textType, errorReply(reason)).write(std::move(responder));
}

Status statusOf(const SendOutcome &outcome)
{
    switch (outcome.kind) {
    case SendOutcome::Kind::Sent:
        return Status::Ok;
    case SendOutcome::Kind::NotSent:
        return Status::ServiceUnavailable;
    case SendOutcome::Kind::Unknown:
        break;
    }
    return Status::BadGateway;
}

const char *outcomeWord(const SendOutcome &outcome)
{
    switch (outcome.kind) {
    case SendOutcome::Kind::Sent:
        return "ok";
    case SendOutcome::Kind::NotSent:
        return "error";
    case SendOutcome::Kind::Unknown:
        break;
    }
    return "unknown";
}

const char *stateWord(PlayerLink::State::Kind state)
{
    using State = PlayerLink::State::Kind;
    switch (state) {
    case State::Waiting:
        return "waiting";
    case State::Open:
        return "open";
    case State::Owner:
        return "owner";
    case State::Lost:
        break;
    }
    return "lost";
}

QByteArray pageEvent(const char *name, const QJsonObject &content)
{
    return QJsonDocument(QJsonObject{{QLatin1String(name), content}}).toJson(QJsonDocument::Compact);
}

} // namespace

class WebRemote::HttpServer : public QAbstractHttpServer
{
public:
    explicit HttpServer(WebRemote *remote)
        : m_remote(remote)
    {
    }

protected:
    // An upgrade goes ahead only when this says so, and is then answered by
    // the WebSocket server; one refused gets its answer from missingHandler().
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        if (!request.value("Upgrade").isEmpty())
            return m_remote->acceptPage(request, socket);
        m_remote->handle(request, socket, makeResponder(request, socket));
        return true;
    }
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        QHttpServerResponder responder = makeResponder(request, socket);
        refuse(responder, Status::Forbidden, QStringLiteral("the events are for the remote's own page, with its key"));
    }

private:
    WebRemote *m_remote;
};

// Takes only the clients the remote admits, before a byte of theirs is read.
class WebRemote::TcpServer : public QTcpServer
{
public:
    explicit TcpServer(WebRemote *remote)
        : m_remote(remote)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        if (m_remote->admit(socket))
            addPendingConnection(socket);
    }

private:
    WebRemote *m_remote;
};

// One connection's share and clocks, living as long as its socket.
class WebRemote::Client : public QObject
{
public:
    Client(QTcpSocket *socket, const QHostAddress &share, WebRemote *remote)
        : QObject(socket)
        , m_socket(socket)
        , m_share(share)
        , m_remote(remote)
    {
        ++remote->m_connections;
        ++remote->m_connectionsPerAddress[share];
        remote->m_clients << this;
        m_idle.setSingleShot(true);
        m_deadline.setSingleShot(true);
        // Before the HTTP server's own: a request it finds whole at once has
        // stopped the deadline by the time this would start it.
        connect(socket, &QTcpSocket::readyRead, this, [this] {
            m_idle.start(IdleTimeoutMs);
            if (!m_deadline.isActive())
                m_deadline.start(RequestDeadlineMs);
        });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (!m_page)
                m_idle.start(IdleTimeoutMs);
        });
        connect(&m_idle, &QTimer::timeout, this, &Client::expire);
        connect(&m_deadline, &QTimer::timeout, this, &Client::expire);
        m_idle.start(IdleTimeoutMs);
    }

    ~Client() override
    {
        m_remote->m_clients.removeOne(this);
        --m_remote->m_connections;
        if (--m_remote->m_connectionsPerAddress[m_share] <= 0)
            m_remote->m_connectionsPerAddress.remove(m_share);
    }

    QTcpSocket *socket() const { return m_socket; }
    bool isPage() const { return m_page; }
    void requestDone() { m_deadline.stop(); }
    // The connection now carries a page's events, whose pings tell whether it is there.
    void becomePage()
    {
        m_page = true;
        m_idle.stop();
        m_deadline.stop();
    }

    int commandsOnTheirWay = 0;

private:
    void expire()
    {
        if (m_page)
            return;
        // Its command is owed an answer; closing now would leave its outcome
        // unknown to a browser that may then send it again.
        if (commandsOnTheirWay > 0)
            return m_idle.start(IdleTimeoutMs);
        m_socket->abort();
    }

    QTcpSocket *m_socket;
    QHostAddress m_share;
    WebRemote *m_remote;
    QTimer m_idle;
    QTimer m_deadline;
    bool m_page = false;
};

struct WebRemote::Page
{
    std::unique_ptr<QWebSocket> socket;
    bool answered = true; // the last ping
};

WebRemote::WebRemote(const QByteArray &key, DeliverCommand deliver, Report report, QObject *parent)
    : QObject(parent)
    , m_key(key)
    , m_deliver(std::move(deliver))
    , m_report(std::move(report))
    , m_http(std::make_unique<HttpServer>(this))
{
    connect(m_http.get(), &QAbstractHttpServer::newWebSocketConnection, this, &WebRemote::takePages);
    connect(&m_ping, &QTimer::timeout, this, &WebRemote::pingPages);
}

WebRemote::~WebRemote()
{
    for (Page *page : std::as_const(m_pages))
        delete page;
    m_pages.clear();
    m_http.reset();
}

bool WebRemote::listen(const QHostAddress &address, quint16 port, QString *error)
{
    auto tcp = std::make_unique<TcpServer>(this);
    if (!tcp->listen(CommandListener::bindAddress(address), port)) {
        *error = tcp->errorString();
        return false;
    }
    m_tcp = tcp.release();
    m_http->bind(m_tcp); // and the HTTP server owns it
    m_ping.start(PingIntervalMs);
    return true;
}

quint16 WebRemote::port() const
{
    return m_tcp ? m_tcp->serverPort() : 0;
}

void WebRemote::showLink(const QString &portName, const PlayerLink::State &link)
{
    m_linkMessage = pageEvent("link", {{"state", stateWord(link.kind)}, {"port", portName}, {"reason", link.reason}});
    tellPages(m_linkMessage);
}

void WebRemote::echo(const PlayerCommand &command, const SendOutcome &outcome)
{
    m_echoMessage = pageEvent("echo", {{"name", commandName(command)},
                                       {"words", commandWords(command)},
                                       {"bytes", QString::fromLatin1(frameBytes(toFrame(command)).toHex(' '))},
                                       {"outcome", outcomeWord(outcome)},
                                       {"reason", outcome.reason}});
    tellPages(m_echoMessage);
}

bool WebRemote::admit(QTcpSocket *socket)
{
    const QHostAddress peer = socket->peerAddress();
    const QHostAddress share = CommandListener::shareOf(peer);
    QString reason;
    if (!CommandListener::admits(m_allowed, peer))
        reason = QStringLiteral("not in an allowed network");
    else if (m_connections >= MaxConnections)
        reason = QStringLiteral("%1 connections already").arg(MaxConnections);
    else if (m_connectionsPerAddress.value(share) >= MaxConnectionsPerAddress)
        reason = QStringLiteral("%1 connections from its address already").arg(MaxConnectionsPerAddress);
    if (!reason.isEmpty()) {
        m_report(QStringLiteral("refused a connection to the web remote from %1: %2").arg(clientText(peer), reason));
        socket->abort();
        socket->deleteLater();
        return false;
    }
    socket->setReadBufferSize(readBufferBytes);
    new Client(socket, share, this);
    return true;
}

void WebRemote::handle(const QHttpServerRequest &request, QTcpSocket *socket, QHttpServerResponder &&responder)
{
    if (Client *client = clientOf(socket))
        client->requestDone();

    const QString path = request.url().path();
    if (path == QLatin1String("/command")) {
        if (request.method() != QHttpServerRequest::Method::Post)
            return refuse(responder, Status::MethodNotAllowed, QStringLiteral("a command is sent with POST"));
        return takeCommand(request, socket, std::move(responder));
    }
    // Nothing else changes anything, and nothing else is asked with more than GET.
    if (request.method() != QHttpServerRequest::Method::Get)
        return refuse(responder, Status::MethodNotAllowed, QStringLiteral("only GET here"));
    if (path == QLatin1String("/") && request.query().hasQueryItem(QStringLiteral("key")))
        return openWithKey(request, std::move(responder));
    if (path == QLatin1String("/session")) {
        // The texts in the browser's language, and whether it may send:
        // all a page needs to know before it opens its events.
        const QList<QByteArray> languages = headerValues(request, "Accept-Language");
        const QByteArray session = QByteArrayLiteral("{\"admitted\":") + (holdsKey(request) ? "true" : "false")
                                   + ",\"page\":" + pageTexts(pageLanguage(languages.value(0))) + '}';
        return reply(Status::Ok, "application/json", session).write(std::move(responder));
    }
    for (const PageFile &file : pageFiles) {
        if (path == QLatin1String(file.path)) {
            static QHash<const char *, QByteArray> loaded;
            if (!loaded.contains(file.resource))
                loaded.insert(file.resource, pageFile(file.resource));
            return reply(Status::Ok, file.type, loaded.value(file.resource)).write(std::move(responder));
        }
    }
    refuse(responder, Status::NotFound, QStringLiteral("nothing here"));
}

// Checked before the upgrade, so that a page refused never sees an event.
bool WebRemote::acceptPage(const QHttpServerRequest &request, QTcpSocket *socket)
{
    QString refusal;
    if (request.url().path() != QLatin1String("/events")
        || request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) != 0)
        refusal = QStringLiteral("no such WebSocket");
    else if (!holdsKey(request))
        refusal = QStringLiteral("no key");
    else if (!fromOwnPage(request))
        refusal = QStringLiteral("not from the remote's own page");
    if (!refusal.isEmpty()) {
        m_report(QStringLiteral("refused the events to %1: %2").arg(clientText(request.remoteAddress()), refusal));
        return false;
    }
    if (Client *client = clientOf(socket))
        client->becomePage();
    return true;
}

// The link the operator hands out: its key goes into the cookie, and the
// address bar is left without it.
void WebRemote::openWithKey(const QHttpServerRequest &request, QHttpServerResponder &&responder)
{
    const QByteArray given = request.query().queryItemValue(QStringLiteral("key"), QUrl::FullyEncoded).toLatin1();
    QHttpServerResponse response = reply(Status::SeeOther, textType, QByteArray());
    response.setHeader("Location", "/");
    if (isRemoteKey(given, m_key)) {
        response.setHeader("Set-Cookie", keyCookie + '=' + m_key + "; Path=/; Max-Age="
                                             + QByteArray::number(keyCookieSeconds) + "; HttpOnly; SameSite=Strict");
    } else {
        m_report(QStringLiteral("a link with a wrong key from %1").arg(clientText(request.remoteAddress())));
    }
    response.write(std::move(responder));
}

void WebRemote::takeCommand(const QHttpServerRequest &request, QTcpSocket *socket, QHttpServerResponder &&responder)
{
    const QString client = clientText(request.remoteAddress());
    if (!takeToken(CommandListener::shareOf(request.remoteAddress()))) {
        m_report(QStringLiteral("refused a command from %1: more than %2 a second").arg(client).arg(CommandsPerSecond));
        return refuse(responder, Status::TooManyRequests,
                      QStringLiteral("too many commands from this address; wait a moment"));
    }
    if (!holdsKey(request)) {
        m_report(QStringLiteral("refused a command from %1: no key").arg(client));
        return refuse(responder, Status::Forbidden, QStringLiteral("no key: ask the operator for the remote's link"));
    }
    if (!fromOwnPage(request)) {
        m_report(QStringLiteral("refused a command from %1: not from the remote's own page").arg(client));
        return refuse(responder, Status::Forbidden, QStringLiteral("not from the remote's own page"));
    }
    const QByteArray body = request.body();
    if (body.size() > MaxCommandLineLength) {
        return refuse(responder, Status::PayloadTooLarge,
                      QStringLiteral("a command is at most %1 bytes").arg(MaxCommandLineLength));
    }
    if (m_waiting >= MaxWaitingCommands) {
        return refuse(responder, Status::ServiceUnavailable,
                      QStringLiteral("%1 commands already waiting for the line; try again").arg(MaxWaitingCommands));
    }
    const CommandLineResult parsed = parseCommandMessage(body, QStringLiteral("request"));
    if (!parsed.command)
        return refuse(responder, Status::BadRequest, parsed.error);

    ++m_waiting;
    const QPointer<Client> connection = clientOf(socket);
    if (connection)
        ++connection->commandsOnTheirWay;
    // The responder writes to the socket it was made for: kept until the
    // outcome, used only if that socket is still there.
    auto held = std::make_shared<QHttpServerResponder>(std::move(responder));
    const QPointer<QTcpSocket> alive(socket);
    const CommandFrame frame = toFrame(*parsed.command);
    m_deliver(*parsed.command,
              [remote = QPointer<WebRemote>(this), connection, alive, held, frame](const SendOutcome &outcome) {
                  if (!remote)
                      return;
                  --remote->m_waiting;
                  if (connection)
                      --connection->commandsOnTheirWay;
                  if (alive && alive->state() == QAbstractSocket::ConnectedState)
                      reply(statusOf(outcome), textType, replyLine(frame, outcome)).write(std::move(*held));
              });
}

WebRemote::Client *WebRemote::clientOf(const QTcpSocket *socket) const
{
    const auto found = std::find_if(m_clients.begin(), m_clients.end(),
                                    [socket](const Client *client) { return client->socket() == socket; });
    return found != m_clients.end() ? *found : nullptr;
}

bool WebRemote::takeToken(const QHostAddress &share)
{
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

bool WebRemote::holdsKey(const QHttpServerRequest &request) const
{
    const QList<QByteArray> cookies = headerValues(request, "Cookie");
    return std::any_of(cookies.begin(), cookies.end(),
                       [this](const QByteArray &header) { return isRemoteKey(cookieValue(header, keyCookie), m_key); });
}

void WebRemote::takePages()
{
    while (std::unique_ptr<QWebSocket> socket = m_http->nextPendingWebSocketConnection()) {
        // Only an upgrade that acceptPage() let through, whatever the
        // server took for one.
        const bool accepted = std::any_of(m_clients.begin(), m_clients.end(), [&](const Client *client) {
            return client->isPage() && client->socket()->peerAddress() == socket->peerAddress()
                   && client->socket()->peerPort() == socket->peerPort();
        });
        if (!accepted) {
            socket->abort();
            socket.release()->deleteLater();
            continue;
        }
        // The events go one way; a page that talks back is not ours.
        socket->setMaxAllowedIncomingFrameSize(MaxCommandLineLength);
        socket->setMaxAllowedIncomingMessageSize(MaxCommandLineLength);
        auto *page = new Page{std::move(socket)};
        QWebSocket *events = page->socket.get();
        const auto drop = [this, page] { dropPage(page); };
        connect(events, &QWebSocket::disconnected, this, drop);
        connect(events, &QWebSocket::textMessageReceived, this, drop);
        connect(events, &QWebSocket::binaryMessageReceived, this, drop);
        connect(events, &QWebSocket::pong, this, [page] { page->answered = true; });
        m_pages << page;
        // What it would have seen had it been open all along.
        if (!m_linkMessage.isEmpty() && !tellPage(page, m_linkMessage))
            continue;
        if (!m_echoMessage.isEmpty())
            tellPage(page, m_echoMessage);
    }
}

void WebRemote::pingPages()
{
    // A page let go of meanwhile leaves the list at once.
    for (Page *page : QList<Page *>(m_pages)) {
        if (!m_pages.contains(page))
            continue;
        if (!page->answered) {
            dropPage(page);
            continue;
        }
        page->answered = false;
        page->socket->ping();
    }
}

void WebRemote::tellPages(const QByteArray &message)
{
    for (Page *page : QList<Page *>(m_pages)) {
        if (m_pages.contains(page))
            tellPage(page, message);
    }
}

// False when the page was let go of, for leaving its events unread.
bool WebRemote::tellPage(Page *page, const QByteArray &message)
{
    page->socket->sendTextMessage(QString::fromUtf8(message));
    if (page->socket->bytesToWrite() <= maxUnsentEventBytes)
        return true;
    dropPage(page);
    return false;
}

// Once only, whichever way it goes: the socket's own signals may come
// back here while it is let go of.
void WebRemote::dropPage(Page *page)
{
    if (!m_pages.removeOne(page))
        return;
    page->socket->disconnect(this);
    page->socket->abort();
    page->socket.release()->deleteLater();
    delete page;
}
