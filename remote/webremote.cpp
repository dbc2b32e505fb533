#include "remote/webremote.h"
#include "command/commandgrammar.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

#include <memory>

namespace {

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

WebRemote::WebRemote(const QByteArray &key, CommandIntake *intake, Report report, QObject *parent)
    : QObject(parent)
    , m_policy(key, std::move(report))
    , m_routes(m_policy, intake)
{
    connect(&m_routes, &QAbstractHttpServer::newWebSocketConnection, this, &WebRemote::takePages);
}

WebRemote::~WebRemote() = default;

bool WebRemote::listen(const QHostAddress &address, quint16 port, QString *error)
{
    auto server = std::make_unique<AdmittingServer>(m_policy);
    if (!server->listen(CommandListener::bindAddress(address), port)) {
        *error = server->errorString();
        return false;
    }
    m_routes.bind(server.release()); // which takes it as its child
    m_events.startPings();
    return true;
}

quint16 WebRemote::port() const
{
    const QList<QTcpServer *> servers = m_routes.servers();
    return servers.isEmpty() ? 0 : servers.first()->serverPort();
}

void WebRemote::showLink(const QString &portName, const PlayerLink::State &link)
{
    m_events.tell(QStringLiteral("link"), {{"state", link.word()}, {"port", portName}, {"reason", link.reason}});
}

void WebRemote::echo(const PlayerCommand &command, const SendOutcome &outcome)
{
    m_events.tell(QStringLiteral("echo"), {{"name", commandName(command)},
                                           {"words", commandWords(command)},
                                           {"bytes", QString::fromLatin1(frameBytes(toFrame(command)).toHex(' '))},
                                           {"outcome", outcomeWord(outcome)},
                                           {"reason", outcome.reason}});
}

void WebRemote::showMixer(const QJsonObject &mixer)
{
    if (mixer == m_mixer)
        return; // a command that set what was known already: nothing new to show
    m_mixer = mixer;
    m_events.tell(QStringLiteral("mixer"), mixer);
}

void WebRemote::takePages()
{
    while (std::unique_ptr<QWebSocket> socket = m_routes.nextPendingWebSocketConnection()) {
        // Only an upgrade that the routes let through, whatever the server
        // took for one.
        if (m_policy.isPage(socket->peerAddress(), socket->peerPort())) {
            m_events.take(std::move(socket));
        } else {
            socket->abort();
            socket.release()->deleteLater();
        }
    }
}
