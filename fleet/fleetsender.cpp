#include "fleet/fleetsender.h"
#include "command/commandgrammar.h"
#include "command/commandline.h"
#include "fleet/mqttclient.h"

#include <QDateTime>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>

#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace {

// States and replies are short; a listing shows no more of a state than this.
constexpr int keptPayloadBytes = 16 * 1024;
constexpr int subscribeWithinMs = 5000;

QByteArray randomHex(int bytes)
{
    QByteArray data(bytes, '\0');
    for (char &byte : data)
        byte = char(QRandomGenerator::system()->bounded(256));
    return data.toHex();
}

// Runs the event loop until `done` says so or `ms` pass.
template<typename Done> bool waitFor(int ms, Done done)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(10);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

} // namespace

FleetSender::FleetSender(const BrokerSettings &broker, QObject *parent)
    : QObject(parent)
{
    const QByteArray session = randomHex(8);
    m_replyTopic = "tunaris/senders/" + session + "/reply";
    m_listedTopic = "tunaris/senders/" + session + "/listed";
    MqttClient::Session settings;
    settings.clientId = QStringLiteral("tunaris-send-%1").arg(QString::fromLatin1(session));
    settings.keptPayload = keptPayloadBytes;
    m_client = std::make_unique<MqttClient>(broker, settings);
}

FleetSender::~FleetSender() = default;

bool FleetSender::connectToBroker(QString *error)
{
    QString failure;
    bool up = false;
    const QMetaObject::Connection connected = connect(m_client.get(), &MqttClient::connected, this, [&] { up = true; });
    const QMetaObject::Connection failed =
        connect(m_client.get(), &MqttClient::connectionFailed, this, [&](const QString &reason) { failure = reason; });
    const bool started = m_client->start(error);
    if (started)
        waitFor(ConnectWithinMs, [&] { return up || !failure.isEmpty(); });
    disconnect(connected);
    disconnect(failed);
    if (!started)
        return false;
    if (!up) {
        *error = failure.isEmpty() ? QStringLiteral("the broker did not answer within %1 s").arg(ConnectWithinMs / 1000)
                                   : failure;
        return false;
    }
    // Replies are wanted before any request goes out.
    bool subscribed = false;
    const int mid = m_client->subscribe({m_replyTopic, m_listedTopic}, 0);
    const QMetaObject::Connection confirmed =
        connect(m_client.get(), &MqttClient::subscribed, this, [&](int acknowledged, const QList<int> &codes) {
            if (acknowledged != mid)
                return;
            subscribed = std::all_of(codes.begin(), codes.end(), [](int code) { return code < 0x80; });
            if (!subscribed)
                failure =
                    QStringLiteral("the broker refused the subscription to %1").arg(QString::fromUtf8(m_replyTopic));
        });
    waitFor(subscribeWithinMs, [&] { return subscribed || !failure.isEmpty(); });
    disconnect(confirmed);
    if (!subscribed) {
        *error = failure.isEmpty() ? QStringLiteral("the broker did not confirm the subscription to %1")
                                         .arg(QString::fromUtf8(m_replyTopic))
                                   : failure;
        return false;
    }
    return true;
}

// The broker sends the retained states right after it confirms the
// subscription, and only then handles what we publish next: our own marker
// coming back says that every state is here.
std::optional<QMap<QString, std::optional<PlayerState>>> FleetSender::players(QString *error)
{
    QMap<QString, std::optional<PlayerState>> players;
    bool listed = false;
    const QByteArray marker = randomHex(8);
    const QMetaObject::Connection arrived =
        connect(m_client.get(), &MqttClient::messageArrived, this, [&](const MqttMessage &message) {
            if (message.topic == m_listedTopic && message.payload == marker) {
                listed = true;
                return;
            }
            const QString player = FleetTopics::playerOfState(message.topic);
            // An empty retained message is a deleted state.
            if (!player.isEmpty() && message.size > 0)
                players.insert(player, message.size == message.payload.size() ? PlayerState::fromJson(message.payload)
                                                                              : std::nullopt);
        });
    const int mid = m_client->subscribe({FleetTopics::everyState()}, 0);
    bool subscribed = false;
    const QMetaObject::Connection confirmed =
        connect(m_client.get(), &MqttClient::subscribed, this, [&](int acknowledged) {
            if (acknowledged != mid)
                return;
            subscribed = true;
            MqttPublish echo;
            echo.topic = m_listedTopic;
            echo.payload = marker;
            QString failure;
            m_client->publish(echo, &failure);
        });
    const bool complete = waitFor(ListWithinMs, [&] { return listed; });
    disconnect(arrived);
    disconnect(confirmed);
    if (!complete) {
        *error =
            subscribed
                ? QStringLiteral("the broker did not finish listing the players within %1 s").arg(ListWithinMs / 1000)
                : QStringLiteral("the broker did not confirm the subscription to the players' states");
        return std::nullopt;
    }
    return players;
}

FleetSender::Delivery FleetSender::send(const PlayerCommand &command, const QByteArray &topic,
                                        const QStringList &expected)
{
    Delivery delivery;
    const QByteArray correlation = QByteArray::fromHex(randomHex(16));
    MqttPublish request;
    request.topic = topic;
    request.payload = commandWords(command).toLatin1();
    request.responseTopic = m_replyTopic;
    request.correlation = correlation;
    request.expirySeconds = RequestExpirySeconds;
    request.userProperties << qMakePair(QByteArray(FleetTopics::CreatedProperty),
                                        QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1());
    bool lost = false;
    const QMetaObject::Connection failed =
        connect(m_client.get(), &MqttClient::connectionFailed, this, [&](const QString &reason) {
            lost = true;
            delivery.silence = reason;
        });
    const QMetaObject::Connection arrived =
        connect(m_client.get(), &MqttClient::messageArrived, this, [&](const MqttMessage &message) {
            if (message.topic != m_replyTopic || message.correlation != correlation)
                return;
            QString player;
            for (const auto &[name, value] : message.userProperties) {
                if (name == FleetTopics::PlayerProperty)
                    player = QString::fromUtf8(value);
            }
            if (!isFleetName(player))
                player = QStringLiteral("(a player without a valid name)");
            if (!delivery.replies.contains(player))
                delivery.replies.insert(player, message.payload.left(MaxCommandLineLength + 8));
        });
    QString error;
    const int mid = m_client->publish(request, &error);
    bool taken = false;
    const QMetaObject::Connection acknowledged =
        connect(m_client.get(), &MqttClient::published, this, [&](int done, int reasonCode) {
            if (done != mid)
                return;
            taken = true;
            // MQTT 5 brokers say when nobody subscribes to the topic.
            if (reasonCode == MQTT_RC_NO_MATCHING_SUBSCRIBERS)
                delivery.refusal = QStringLiteral("no player takes commands on %1").arg(QString::fromUtf8(topic));
            else if (reasonCode >= 0x80)
                delivery.refusal = QStringLiteral("the broker refused it: %1")
                                       .arg(QString::fromUtf8(mosquitto_reason_string(reasonCode)));
        });
    if (mid == 0) {
        delivery.refusal = error;
    } else {
        const int within = int(RequestExpirySeconds) * 1000 + ReplyGraceMs;
        waitFor(within, [&] {
            const bool everyone = std::all_of(expected.begin(), expected.end(),
                                              [&](const QString &player) { return delivery.replies.contains(player); });
            return lost || !delivery.refusal.isEmpty() || (taken && everyone);
        });
        if (delivery.silence.isEmpty())
            delivery.silence = QStringLiteral("no answer within %1 s").arg(within / 1000);
        if (!taken && delivery.refusal.isEmpty() && !lost)
            delivery.silence = QStringLiteral("the broker did not confirm the command within %1 s").arg(within / 1000);
    }
    disconnect(failed);
    disconnect(arrived);
    disconnect(acknowledged);
    return delivery;
}

void FleetSender::stop()
{
    m_client->stop();
}
