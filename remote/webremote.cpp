#include "remote/webremote.h"
#include "command/commandgrammar.h"
#include "link/commandintake.h"
#include "link/commandlistener.h"
#include "remote/remotetexts.h"

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

using Status = RemoteRoutes::Status;

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

// The page's files, its texts, and each command's text to the intake with
// its outcome back as the answer: all that the remote does with a command
// itself.
RemoteRoutes::Site remoteSite(CommandIntake *intake)
{
    RemoteRoutes::Site site;
    site.files = {
        {QStringLiteral("/"), QStringLiteral(":/remote/page/index.html"), "text/html; charset=utf-8"},
        {QStringLiteral("/remote.css"), QStringLiteral(":/remote/page/remote.css"), "text/css; charset=utf-8"},
        {QStringLiteral("/remote.js"), QStringLiteral(":/remote/page/remote.js"), "text/javascript; charset=utf-8"},
        {QStringLiteral("/icon.png"), QStringLiteral(":/remote/tunaris-256.png"), "image/png"},
    };
    site.texts = pageTexts;
    site.command = [intake](const QByteArray &body, const QHostAddress &client, RemoteRoutes::Answer answer) {
        const auto from = CommandIntake::client(
            {QStringLiteral("web"), RemotePolicy::clientText(client), CommandListener::shareOf(client).toString()},
            QStringLiteral("request"));
        const bool tooLong = body.size() > MaxCommandLineLength;
        intake->take(from, body, [answer = std::move(answer), tooLong](const CommandIntake::Reply &reply) {
            const Status refused = tooLong ? Status::PayloadTooLarge : Status::BadRequest;
            answer(reply.frame ? statusOf(reply.outcome) : refused, reply.line());
        });
    };
    return site;
}

} // namespace

WebRemote::WebRemote(const QByteArray &key, CommandIntake *intake, Report report, QObject *parent)
    : QObject(parent)
    , m_policy({key, "tunaris_key", QStringLiteral("the web remote")}, std::move(report))
    , m_routes(m_policy, remoteSite(intake))
{
    m_routes.sendPagesTo(&m_events);
}

WebRemote::~WebRemote() = default;

bool WebRemote::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (!listenWithPolicy(m_routes, m_policy, address, port, error))
        return false;
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
