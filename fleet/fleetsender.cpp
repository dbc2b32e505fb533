#include "fleet/fleetsender.h"
#include "command/commandgrammar.h"
#include "command/commandline.h"
#include "fleet/fleettopics.h"
#include "fleet/messagelife.h"
#include "fleet/mqttclient.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <algorithm>

namespace {

// States and replies are short; a listing shows no more of a state than this.
constexpr int keptPayloadBytes = 16 * 1024;
constexpr int answerWithinMs = int(FleetSender::RequestExpirySeconds) * 1000 + FleetSender::ReplyGraceMs;

QByteArray randomHex(int bytes)
{
    QByteArray data(bytes, '\0');
    for (char &byte : data)
        byte = char(QRandomGenerator::system()->bounded(256));
    return data.toHex();
}

QByteArray notSent(const QString &why)
{
    return "error not sent: " + why.toUtf8();
}

} // namespace

FleetSender::FleetSender(const BrokerSettings &broker, QObject *parent)
    : QObject(parent)
{
    const QByteArray session = randomHex(8);
    m_replyTopic = "tunaris/senders/" + session + "/reply";
    MqttClient::Session settings;
    settings.clientId = QStringLiteral("tunaris-send-%1").arg(QString::fromLatin1(session));
    settings.keptPayload = keptPayloadBytes;
    m_client = std::make_unique<MqttClient>(broker, settings);
    connect(m_client.get(), &MqttClient::connected, this, &FleetSender::connected);
    connect(m_client.get(), &MqttClient::connectionFailed, this, &FleetSender::lost);
    connect(m_client.get(), &MqttClient::subscribed, this, &FleetSender::subscribed);
    connect(m_client.get(), &MqttClient::messageArrived, this, &FleetSender::replied);
    connect(m_client.get(), &MqttClient::published, this, &FleetSender::acknowledged);
    m_subscribeTimeout.setSingleShot(true);
    connect(&m_subscribeTimeout, &QTimer::timeout, this, [this] {
        m_lastFailure =
            QStringLiteral("the broker did not confirm the subscription to %1").arg(QString::fromUtf8(m_replyTopic));
        emit unavailable(m_lastFailure);
    });
    m_expiry.setSingleShot(true);
    connect(&m_expiry, &QTimer::timeout, this, &FleetSender::expire);
}

FleetSender::~FleetSender() = default;

bool FleetSender::start(QString *error)
{
    return m_client->start(error);
}

// Each connection is a new session: replies are wanted before any request
// goes out on it.
void FleetSender::connected()
{
    m_ready = false;
    m_subscription = m_client->subscribe({m_replyTopic}, 0);
    m_subscribeTimeout.start(SubscribeWithinMs);
}

void FleetSender::subscribed(int mid, const QList<int> &codes)
{
    if (mid != m_subscription)
        return;
    m_subscribeTimeout.stop();
    if (!std::all_of(codes.begin(), codes.end(), [](int code) { return code < MqttClient::RefusedFrom; })) {
        m_lastFailure = QStringLiteral("the broker refused the subscription to %1: %2")
                            .arg(QString::fromUtf8(m_replyTopic),
                                 MqttClient::reasonText(codes.isEmpty() ? MqttClient::RefusedFrom : codes.first()));
        emit unavailable(m_lastFailure);
        return;
    }
    m_ready = true;
    m_lastFailure.clear();
    emit ready();
}

// Replies to what is under way can no longer come on this session: those
// still owed one are told that their outcome is unknown.
void FleetSender::lost(const QString &reason)
{
    m_ready = false;
    m_subscribeTimeout.stop();
    m_lastFailure = reason;
    endAll(reason);
    emit unavailable(reason);
}

quint64 FleetSender::send(const PlayerCommand &command, const QStringList &players)
{
    const quint64 number = ++m_sends;
    auto send = std::make_unique<Send>();
    send->waiting = players;
    send->waiting.removeDuplicates();
    QList<QPair<QString, QByteArray>> atOnce; // answered before any reply can come
    if (!m_ready) {
        const QString why = m_lastFailure.isEmpty()
                                ? QStringLiteral("not connected to the broker")
                                : QStringLiteral("not connected to the broker (%1)").arg(m_lastFailure);
        for (const QString &player : std::as_const(send->waiting))
            atOnce.append({player, notSent(why)});
    } else if (int(m_sending.size()) >= MaxSending) {
        for (const QString &player : std::as_const(send->waiting))
            atOnce.append(
                {player, notSent(QStringLiteral("%1 commands already wait for their answers").arg(MaxSending))});
    } else {
        send->correlation = QByteArray::fromHex(randomHex(16));
        const QDateTime created = QDateTime::currentDateTimeUtc();
        MqttPublish request;
        request.payload = commandWords(command).toLatin1();
        request.responseTopic = m_replyTopic;
        request.correlation = send->correlation;
        request.expirySeconds = RequestExpirySeconds;
        request.userProperties << qMakePair(QByteArray(FleetTopics::CreatedProperty), MessageLife::utcText(created))
                               << qMakePair(QByteArray(FleetTopics::ExpiresProperty),
                                            MessageLife::utcText(created.addSecs(RequestExpirySeconds)));
        QString refusal;
        for (const QString &player : std::as_const(send->waiting)) {
            // Once the broker refused one, the rest never go.
            if (!refusal.isEmpty()) {
                atOnce.append({player, notSent(refusal)});
                continue;
            }
            request.topic = FleetTopics::playerCommand(player);
            const int mid = m_client->publish(request, &refusal);
            if (mid == 0) {
                atOnce.append({player, notSent(refusal)});
                continue;
            }
            m_published.insert(mid, {number, player});
            ++send->unconfirmed;
        }
        m_byCorrelation.insert(send->correlation, number);
    }
    send->deadline.setRemainingTime(answerWithinMs);
    m_sending.emplace(number, std::move(send));
    if (!m_expiry.isActive())
        m_expiry.start(answerWithinMs);
    // After this returns, so that the caller knows the send's number first.
    QMetaObject::invokeMethod(
        this,
        [this, number, atOnce] {
            for (const auto &[player, reply] : atOnce)
                answer(number, player, reply);
            const auto found = m_sending.find(number);
            if (found != m_sending.end() && found->second->waiting.isEmpty())
                answer(number, QString(), QByteArray());
        },
        Qt::QueuedConnection);
    return number;
}

void FleetSender::replied(const MqttMessage &message)
{
    if (message.topic != m_replyTopic)
        return;
    const auto number = m_byCorrelation.constFind(message.correlation);
    if (number == m_byCorrelation.cend())
        return;
    for (const auto &[name, value] : message.userProperties) {
        if (name == FleetTopics::PlayerProperty)
            return answer(*number, QString::fromUtf8(value), message.payload.left(MaxCommandLineLength + 8));
    }
}

void FleetSender::acknowledged(int mid, int reasonCode)
{
    const auto found = m_published.constFind(mid);
    if (found == m_published.cend())
        return;
    const Published published = *found;
    m_published.erase(found);
    const auto send = m_sending.find(published.send);
    if (send == m_sending.end())
        return;
    --send->second->unconfirmed;
    // MQTT 5 brokers say when nobody takes the topic: no bridge, and no
    // session of one that would get it later.
    if (reasonCode == MqttClient::NoMatchingSubscribers) {
        answer(published.send, published.player,
               notSent(QStringLiteral("no bridge takes the commands of %1").arg(published.player)));
    } else if (reasonCode >= MqttClient::RefusedFrom) {
        answer(published.send, published.player,
               notSent(QStringLiteral("the broker refused it: %1").arg(MqttClient::reasonText(reasonCode))));
    }
}

// A player not (or no longer) waiting is not answered again; with no player,
// only checks whether the send is over.
void FleetSender::answer(quint64 number, const QString &player, const QByteArray &reply)
{
    const auto found = m_sending.find(number);
    if (found == m_sending.end())
        return;
    Send &send = *found->second;
    if (!player.isEmpty()) {
        if (!send.waiting.removeOne(player))
            return;
        emit answered(number, player, reply);
    }
    // The handler may have ended it meanwhile (stop()).
    const auto still = m_sending.find(number);
    if (still == m_sending.end() || !still->second->waiting.isEmpty())
        return;
    m_byCorrelation.remove(still->second->correlation);
    m_published.removeIf([number](const auto &entry) { return entry.value().send == number; });
    m_sending.erase(still);
    emit finished(number);
}

void FleetSender::expire()
{
    QList<quint64> overdue;
    for (const auto &[number, send] : m_sending) {
        if (send->deadline.hasExpired())
            overdue << number;
    }
    for (const quint64 number : std::as_const(overdue)) {
        const auto found = m_sending.find(number);
        if (found == m_sending.end())
            continue;
        const QByteArray why =
            found->second->unconfirmed > 0
                ? "the broker did not confirm the command within " + QByteArray::number(answerWithinMs / 1000) + " s"
                : "no answer within " + QByteArray::number(answerWithinMs / 1000) + " s";
        for (const QString &player : QStringList(found->second->waiting))
            answer(number, player, "unknown " + why);
    }
    // The oldest send under way expires first.
    if (!m_sending.empty())
        m_expiry.start(int(std::max<qint64>(0, m_sending.begin()->second->deadline.remainingTime())));
}

void FleetSender::endAll(const QString &reason)
{
    QList<quint64> numbers;
    for (const auto &entry : m_sending)
        numbers << entry.first;
    for (const quint64 number : std::as_const(numbers)) {
        const auto found = m_sending.find(number);
        if (found == m_sending.end())
            continue;
        for (const QString &player : QStringList(found->second->waiting))
            answer(number, player, "unknown " + reason.toUtf8());
    }
}

void FleetSender::stop()
{
    m_ready = false;
    m_client->stop();
    endAll(QStringLiteral("the sender left the broker before its answer came"));
}
