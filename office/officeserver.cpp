#include "office/officeserver.h"
#include "command/commandgrammar.h"
#include "command/commandline.h"
#include "office/officetexts.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>

#include <algorithm>

namespace {

using Status = RemoteRoutes::Status;

// Same reason, told again at most this often while the broker stays away.
constexpr int repeatFailureMs = 60 * 1000;
constexpr int maxRefLength = 32;

bool isRef(const QString &ref)
{
    return !ref.isEmpty() && ref.size() <= maxRefLength && std::all_of(ref.begin(), ref.end(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-'
               || c == u'_';
    });
}

QString utc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

// A player as the pages show it; every text as its state gave it, which the
// page only ever puts in as text.
QJsonObject playerEvent(const QString &player, const SeenState &seen)
{
    QJsonObject event{{"id", player}, {"readable", seen.state.has_value()}, {"mqtt5", seen.propertiesKept}};
    if (!seen.state)
        return event;
    const PlayerState &state = *seen.state;
    event.insert("online", state.online);
    event.insert("since", state.online ? state.since : seen.published.isValid() ? utc(seen.published) : QString());
    event.insert("host", state.host);
    event.insert("port", state.port);
    if (state.online)
        event.insert("link", state.link);
    event.insert("groups", QJsonArray::fromStringList(state.groups));
    if (!state.lastBytes.isEmpty())
        event.insert("last",
                     QJsonObject{{"command", state.lastCommand}, {"bytes", state.lastBytes}, {"time", state.lastTime}});
    if (!state.answerReply.isEmpty())
        event.insert(
            "answer",
            QJsonObject{{"command", state.answerCommand}, {"reply", state.answerReply}, {"time", state.answerTime}});
    return event;
}

} // namespace

OfficeServer::OfficeServer(const BrokerSettings &broker, const QByteArray &key, Report report, QObject *parent)
    : QObject(parent)
    , m_broker(broker)
    , m_report(report)
    , m_sender(broker)
    , m_watch(&m_sender)
    , m_policy({key, "tunaris_office_key", QStringLiteral("the office's page")}, std::move(report))
    , m_routes(m_policy, site())
    , m_events(MaxUnsentEventBytes)
    , m_sendReport(m_report, 20, 100)
{
    m_routes.sendPagesTo(&m_events);
    connect(&m_sender, &FleetSender::ready, this, [this] {
        if (!m_brokerFailure.isEmpty() || !m_failureTold.isValid())
            m_report(QStringLiteral("connected to %1").arg(m_broker.address()));
        m_brokerFailure.clear();
        m_failureTold.start();
        showBroker();
    });
    connect(&m_sender, &FleetSender::unavailable, this, &OfficeServer::brokerFailed);
    connect(&m_sender, &FleetSender::answered, this, &OfficeServer::answered);
    connect(&m_sender, &FleetSender::finished, this, &OfficeServer::finished);
    connect(&m_watch, &FleetWatch::listed, this, [this] {
        const int players = int(m_watch.players().size());
        m_report(QStringLiteral("showing %1 %2%3")
                     .arg(players)
                     .arg(players == 1 ? QStringLiteral("player") : QStringLiteral("players"))
                     .arg(m_watch.overflowed() ? QStringLiteral(", fewer than the broker keeps") : QString()));
        showBroker();
    });
    connect(&m_watch, &FleetWatch::failed, this, &OfficeServer::brokerFailed);
    connect(&m_watch, &FleetWatch::changed, this, &OfficeServer::showPlayer);
    connect(&m_watch, &FleetWatch::removed, this, [this](const QString &player) {
        m_events.keep(QStringLiteral("player"), player, {});
        m_events.tellOpen(QStringLiteral("gone"), {{"id", player}});
    });
}

OfficeServer::~OfficeServer() = default;

RemoteRoutes::Site OfficeServer::site()
{
    RemoteRoutes::Site site;
    site.files = {
        {QStringLiteral("/"), QStringLiteral(":/office/page/index.html"), "text/html; charset=utf-8"},
        {QStringLiteral("/office.css"), QStringLiteral(":/office/page/office.css"), "text/css; charset=utf-8"},
        {QStringLiteral("/office.js"), QStringLiteral(":/office/page/office.js"), "text/javascript; charset=utf-8"},
        {QStringLiteral("/icon.png"), QStringLiteral(":/remote/tunaris-256.png"), "image/png"},
    };
    site.texts = officeTexts;
    site.command = [this](const QByteArray &body, const QHostAddress &client, RemoteRoutes::Answer answer) {
        takeCommand(body, client, std::move(answer));
    };
    return site;
}

bool OfficeServer::start(const QHostAddress &address, quint16 port, QString *error)
{
    if (!listenWithPolicy(m_routes, m_policy, address, port, error))
        return false;
    m_events.startPings();
    showBroker();
    m_report(QStringLiteral("joining %1 for the office's page").arg(m_broker.address()));
    return m_sender.start(error);
}

quint16 OfficeServer::port() const
{
    const QList<QTcpServer *> servers = m_routes.servers();
    return servers.isEmpty() ? 0 : servers.first()->serverPort();
}

void OfficeServer::stop()
{
    m_sender.stop();
}

// Checked in full before anything is sent: a request that is not one
// command for a player or a group the broker knows sends nothing.
void OfficeServer::takeCommand(const QByteArray &body, const QHostAddress &client, RemoteRoutes::Answer answer)
{
    const auto refuse = [&answer](Status status, const QString &why) { answer(status, errorReply(why)); };
    if (body.size() > MaxRequestBytes)
        return refuse(Status::PayloadTooLarge, QStringLiteral("a request is at most %1 bytes").arg(MaxRequestBytes));
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonObject request = document.object();
    const QJsonValue words = request.value(QLatin1String("command"));
    const QJsonValue player = request.value(QLatin1String("player"));
    const QJsonValue group = request.value(QLatin1String("group"));
    const QJsonValue ref = request.value(QLatin1String("ref"));
    if (!document.isObject() || !words.isString() || player.isString() == group.isString()
        || !(player.isString() || player.isUndefined()) || !(group.isString() || group.isUndefined())
        || !(ref.isUndefined() || isRef(ref.toString()))) {
        return refuse(Status::BadRequest,
                      QStringLiteral("a request is a JSON object: \"command\", and \"player\" or \"group\", and "
                                     "perhaps \"ref\" (1 to %1 letters, digits, - or _)")
                          .arg(maxRefLength));
    }
    if (player.isString() && !isFleetName(player.toString()))
        return refuse(Status::BadRequest, fleetNameError(QStringLiteral("player"), player.toString()));
    if (group.isString() && !isFleetName(group.toString()))
        return refuse(Status::BadRequest, fleetNameError(QStringLiteral("group"), group.toString()));
    const CommandLineResult parsed = parseCommandMessage(words.toString().toUtf8(), QStringLiteral("request"));
    if (!parsed.command)
        return refuse(Status::BadRequest, parsed.error);
    if (!m_watch.isListed()) {
        return refuse(Status::ServiceUnavailable,
                      QStringLiteral("not sent: the office has not read the players' states from %1 yet%2")
                          .arg(m_broker.address(),
                               m_brokerFailure.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(m_brokerFailure)));
    }
    QString refusal;
    const QList<Addressee> addressed = addressees(m_watch.players(), player.toString(), group.toString(), &refusal);
    if (addressed.isEmpty())
        return refuse(Status::NotFound, QStringLiteral("%1; nothing sent").arg(refusal));

    QStringList sendTo;
    Send send;
    send.shown = ++m_shownSends;
    send.answer = std::move(answer);
    for (const Addressee &addressee : addressed) {
        send.order << addressee.player;
        if (addressee.answer.isEmpty())
            sendTo << addressee.player;
        else
            send.answers.insert(addressee.player, addressee.answer);
    }
    send.order.sort();
    QJsonObject answers;
    for (auto known = send.answers.cbegin(); known != send.answers.cend(); ++known)
        answers.insert(known.key(), QString::fromUtf8(known.value()));
    send.event = {{"id", QString::number(send.shown)},
                  {"command", commandWords(*parsed.command)},
                  {"at", utc(QDateTime::currentDateTimeUtc())},
                  {"from", RemotePolicy::clientText(client)},
                  {"players", QJsonArray::fromStringList(send.order)},
                  {"answers", answers}};
    send.event.insert(player.isString() ? QLatin1String("player") : QLatin1String("group"),
                      player.isString() ? player.toString() : group.toString());
    if (ref.isString())
        send.event.insert("ref", ref.toString());
    m_events.tell(QStringLiteral("send"), send.event, QString::number(send.shown));
    m_keptSends << send.shown;
    while (m_keptSends.size() > KeptSends)
        m_events.keep(QStringLiteral("send"), QString::number(m_keptSends.takeFirst()), {});

    if (sendTo.isEmpty())
        return finish(send);
    const quint64 number = m_sender.send(*parsed.command, sendTo);
    m_sends.emplace(number, std::move(send));
}

void OfficeServer::answered(quint64 number, const QString &player, const QByteArray &reply)
{
    const auto found = m_sends.find(number);
    if (found == m_sends.end())
        return;
    Send &send = found->second;
    send.answers.insert(player, reply);
    QJsonObject answers = send.event.value(QLatin1String("answers")).toObject();
    answers.insert(player, QString::fromUtf8(reply));
    send.event.insert("answers", answers);
    const QString id = QString::number(send.shown);
    m_events.keep(QStringLiteral("send"), id, send.event);
    m_events.tellOpen(QStringLiteral("answer"),
                      {{"send", id}, {"player", player}, {"reply", QString::fromUtf8(reply)}});
}

void OfficeServer::finished(quint64 number)
{
    const auto found = m_sends.find(number);
    if (found == m_sends.end())
        return;
    Send send = std::move(found->second);
    m_sends.erase(found);
    finish(send);
}

// Every player answered: the request is, as tunaris-send prints it.
void OfficeServer::finish(Send &send)
{
    QByteArray lines;
    int notSent = 0;
    int unknown = 0;
    for (const QString &player : std::as_const(send.order)) {
        const QByteArray reply = send.answers.value(player);
        lines += player.toUtf8() + ": " + reply + '\n';
        const QByteArray word = reply.split(' ').first();
        notSent += word == "ok" ? 0 : word == "error" ? 1 : 0;
        unknown += word == "ok" || word == "error" ? 0 : 1;
    }
    const QString id = QString::number(send.shown);
    send.event.insert("done", true);
    if (m_keptSends.contains(send.shown))
        m_events.keep(QStringLiteral("send"), id, send.event);
    m_events.tellOpen(QStringLiteral("done"), {{"send", id}});
    const QString to = send.event.contains(QLatin1String("group"))
                           ? QStringLiteral("group %1").arg(send.event.value(QLatin1String("group")).toString())
                           : send.event.value(QLatin1String("player")).toString();
    m_sendReport(QStringLiteral("office %1: %2 to %3: %4 ok, %5 not sent, %6 unknown")
                     .arg(send.event.value(QLatin1String("from")).toString(),
                          send.event.value(QLatin1String("command")).toString(), to)
                     .arg(send.order.size() - notSent - unknown)
                     .arg(notSent)
                     .arg(unknown));
    send.answer(unknown > 0 ? Status::BadGateway : notSent > 0 ? Status::ServiceUnavailable : Status::Ok, lines);
}

void OfficeServer::showBroker()
{
    m_events.tell(QStringLiteral("broker"), {{"address", m_broker.address()},
                                             {"connected", m_sender.isReady()},
                                             {"listed", m_watch.isListed()},
                                             {"reason", m_brokerFailure},
                                             {"overflowed", m_watch.overflowed()}});
}

void OfficeServer::showPlayer(const QString &player)
{
    m_events.tell(QStringLiteral("player"), playerEvent(player, m_watch.players().value(player)), player);
}

void OfficeServer::brokerFailed(const QString &reason)
{
    const bool repeated =
        reason == m_brokerFailure && m_failureTold.isValid() && !m_failureTold.hasExpired(repeatFailureMs);
    m_brokerFailure = reason;
    showBroker();
    if (repeated)
        return;
    m_failureTold.start();
    m_report(QStringLiteral("%1; trying again").arg(reason));
}
