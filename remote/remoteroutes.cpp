#include "remote/remoteroutes.h"
#include "command/commandline.h"
#include "link/commandlistener.h"
#include "remote/pageevents.h"

#include <QFile>
#include <QHash>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>

#include <memory>

namespace {

using Status = RemoteRoutes::Status;
using Key = RemotePolicy::Key;

const QByteArray textType = QByteArrayLiteral("text/plain; charset=utf-8");

QByteArray pageFile(const QString &resource)
{
    static QHash<QString, QByteArray> loaded;
    if (!loaded.contains(resource)) {
        QFile file(resource);
        if (!file.open(QIODevice::ReadOnly))
            qFatal("the page's file %s is missing from its resources", qPrintable(resource));
        loaded.insert(resource, file.readAll());
    }
    return loaded.value(resource);
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

void refuse(QHttpServerResponder &&responder, Status status, const QString &reason)
{
    reply(status, textType, errorReply(reason)).write(std::move(responder));
}

const char *keyWord(Key key)
{
    switch (key) {
    case Key::Held:
        return "held";
    case Key::Wrong:
        return "wrong";
    case Key::None:
        break;
    }
    return "none";
}

// Why a request may not send a command or open the events, as a report
// says it; empty when it may.
QString refusalOf(const QHttpServerRequest &request, Key key)
{
    switch (key) {
    case Key::None:
        return QStringLiteral("no key");
    case Key::Wrong:
        return QStringLiteral("wrong key");
    case Key::Held:
        break;
    }
    return RemotePolicy::fromOwnPage(request) ? QString() : QStringLiteral("not from the remote's own page");
}

// What a browser is told of a refusal (refusalOf()): with the way to the key.
QString advised(const QString &refusal, Key key)
{
    return key == Key::Held ? refusal : refusal + QStringLiteral(": ask the operator for the remote's link");
}

// Takes only the clients the policy admits, before a byte of theirs is read.
class AdmittingServer : public QTcpServer
{
public:
    explicit AdmittingServer(RemotePolicy &policy)
        : m_policy(policy)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto socket = std::make_unique<QTcpSocket>();
        if (!socket->setSocketDescriptor(descriptor) || !m_policy.admit(socket.get()))
            return;
        socket->setParent(this);
        addPendingConnection(socket.release());
    }

private:
    RemotePolicy &m_policy;
};

} // namespace

bool listenWithPolicy(RemoteRoutes &routes, RemotePolicy &policy, const QHostAddress &address, quint16 port,
                      QString *error)
{
    auto server = std::make_unique<AdmittingServer>(policy);
    if (!server->listen(CommandListener::bindAddress(address), port)) {
        *error = server->errorString();
        return false;
    }
    routes.bind(server.release()); // which takes it as its child
    return true;
}

RemoteRoutes::RemoteRoutes(RemotePolicy &policy, Site site, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_policy(policy)
    , m_site(std::move(site))
{
}

RemoteRoutes::~RemoteRoutes() = default;

void RemoteRoutes::sendPagesTo(PageEvents *events)
{
    connect(this, &QAbstractHttpServer::newWebSocketConnection, events, [this, events] {
        while (std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection()) {
            // Only an upgrade that the routes let through, whatever the
            // server took for one.
            if (m_policy.isPage(socket->peerAddress(), socket->peerPort())) {
                events->take(std::move(socket));
            } else {
                socket->abort();
                socket.release()->deleteLater();
            }
        }
    });
}

bool RemoteRoutes::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const Key key = m_policy.keyOf(request);
    m_policy.requestRead(socket, key);
    if (!request.value("Upgrade").isEmpty())
        return acceptPage(request, key, socket);
    if (request.url().path() == QLatin1String("/command")) {
        if (request.method() != QHttpServerRequest::Method::Post)
            refuse(makeResponder(request, socket), Status::MethodNotAllowed,
                   QStringLiteral("a command is sent with POST"));
        else
            takeCommand(request, key, socket, makeResponder(request, socket));
        return true;
    }
    answer(request, key, makeResponder(request, socket));
    return true;
}

void RemoteRoutes::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const Key key = m_policy.keyOf(request);
    const QString refusal = refusalOf(request, key);
    refuse(makeResponder(request, socket), Status::Forbidden,
           refusal.isEmpty() ? QStringLiteral("no such WebSocket") : advised(refusal, key));
}

// Nothing here changes anything, and nothing here is asked with more than GET.
void RemoteRoutes::answer(const QHttpServerRequest &request, Key key, QHttpServerResponder &&responder)
{
    if (request.method() != QHttpServerRequest::Method::Get)
        return refuse(std::move(responder), Status::MethodNotAllowed, QStringLiteral("only GET here"));
    const QString path = request.url().path();
    if (path == QLatin1String("/") && request.query().hasQueryItem(QStringLiteral("key")))
        return openWithKey(request, std::move(responder));
    if (path == QLatin1String("/session")) {
        // The texts in the browser's language, and whether it may send:
        // all a page needs to know before it opens its events.
        const QByteArray session = QByteArrayLiteral("{\"key\":\"") + keyWord(key) + "\",\"page\":"
                                   + m_site.texts(pageLanguage(request.value("Accept-Language"))) + '}';
        return reply(Status::Ok, "application/json", session).write(std::move(responder));
    }
    for (const Site::File &file : std::as_const(m_site.files)) {
        if (path == file.path)
            return reply(Status::Ok, file.type, pageFile(file.resource)).write(std::move(responder));
    }
    refuse(std::move(responder), Status::NotFound, QStringLiteral("nothing here"));
}

// Checked before the upgrade, so that a page refused never sees an event.
bool RemoteRoutes::acceptPage(const QHttpServerRequest &request, Key key, QTcpSocket *socket)
{
    QString refusal = refusalOf(request, key);
    if (request.url().path() != QLatin1String("/events")
        || request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) != 0)
        refusal = QStringLiteral("no such WebSocket");
    if (!refusal.isEmpty()) {
        m_policy.report(QStringLiteral("refused the events to %1: %2")
                            .arg(RemotePolicy::clientText(request.remoteAddress()), refusal));
        return false;
    }
    m_policy.becomePage(socket);
    return true;
}

// The link the operator hands out: its key goes into the cookie, and the
// address bar is left without it.
void RemoteRoutes::openWithKey(const QHttpServerRequest &request, QHttpServerResponder &&responder)
{
    const QByteArray given = request.query().queryItemValue(QStringLiteral("key"), QUrl::FullyEncoded).toLatin1();
    QHttpServerResponse response = reply(Status::SeeOther, textType, QByteArray());
    response.setHeader("Location", "/");
    if (m_policy.isKey(given)) {
        response.setHeader("Set-Cookie", m_policy.keyCookie());
    } else {
        m_policy.report(
            QStringLiteral("a link with a wrong key from %1").arg(RemotePolicy::clientText(request.remoteAddress())));
    }
    response.write(std::move(responder));
}

void RemoteRoutes::takeCommand(const QHttpServerRequest &request, Key key, QTcpSocket *socket,
                               QHttpServerResponder &&responder)
{
    const QString client = RemotePolicy::clientText(request.remoteAddress());
    if (!m_policy.takeCommandToken(request.remoteAddress())) {
        m_policy.report(QStringLiteral("refused a command from %1: more than %2 a second")
                            .arg(client)
                            .arg(RemotePolicy::CommandsPerSecond));
        return refuse(std::move(responder), Status::TooManyRequests,
                      QStringLiteral("too many commands from this address; wait a moment"));
    }
    const QString refusal = refusalOf(request, key);
    if (!refusal.isEmpty()) {
        m_policy.report(QStringLiteral("refused a command from %1: %2").arg(client, refusal));
        return refuse(std::move(responder), Status::Forbidden, advised(refusal, key));
    }
    // The responder writes to the socket it was made for: kept until the
    // outcome, used only if that socket is still there.
    auto held = std::make_shared<QHttpServerResponder>(std::move(responder));
    m_site.command(request.body(), request.remoteAddress(),
                   [alive = QPointer<QTcpSocket>(socket), held,
                    owed = m_policy.oweAnswer(socket)](Status status, const QByteArray &text) mutable {
                       owed.reset();
                       if (alive && alive->state() == QAbstractSocket::ConnectedState)
                           reply(status, textType, text).write(std::move(*held));
                   });
}
