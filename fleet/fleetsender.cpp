#include "fleet/fleetsender.h"
#include "command/commandgrammar.h"
#include "command/commandline.h"
#include "fleet/messagelife.h"
#include "fleet/mqttclient.h"
#include "fleet/statereader.h"

#include <QDateTime>
#include <QEventLoop>
#include <QHash>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>

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
    const int mid = m_client->subscribe({m_replyTopic}, 0);
    const QMetaObject::Connection confirmed =
        connect(m_client.get(), &MqttClient::subscribed, this, [&](int acknowledged, const QList<int> &codes) {
            if (acknowledged != mid)
                return;
            subscribed =
                std::all_of(codes.begin(), codes.end(), [](int code) { return code < MqttClient::RefusedFrom; });
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

std::optional<QMap<QString, SeenState>> FleetSender::players(QString *error, const QString &player)
{
    StateReader reader(m_client.get(), player.isEmpty() ? FleetTopics::everyState() : FleetTopics::playerState(player));
    std::optional<QMap<QString, SeenState>> states;
    bool failed = false;
    connect(&reader, &StateReader::finished, this, [&](const QMap<QString, SeenState> &read) { states = read; });
    connect(&reader, &StateReader::failed, this, [&](const QString &reason) {
        *error = reason;
        failed = true;
    });
    reader.start();
    waitFor(StateReader::ReadWithinMs + 1000, [&] { return states || failed; });
    return states;
}

FleetSender::Delivery FleetSender::send(const PlayerCommand &command, const QStringList &players)
{
    Delivery delivery;
    const QByteArray correlation = QByteArray::fromHex(randomHex(16));
    const QDateTime created = QDateTime::currentDateTimeUtc();
    MqttPublish request;
    request.payload = commandWords(command).toLatin1();
    request.responseTopic = m_replyTopic;
    request.correlation = correlation;
    request.expirySeconds = RequestExpirySeconds;
    request.userProperties << qMakePair(QByteArray(FleetTopics::CreatedProperty), MessageLife::utcText(created))
                           << qMakePair(QByteArray(FleetTopics::ExpiresProperty),
                                        MessageLife::utcText(created.addSecs(RequestExpirySeconds)));
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
    QHash<int, QString> unconfirmed; // by packet id, the player each was published for
    const QMetaObject::Connection acknowledged =
        connect(m_client.get(), &MqttClient::published, this, [&](int done, int reasonCode) {
            const QString player = unconfirmed.take(done);
            if (player.isEmpty() || delivery.replies.contains(player))
                return;
            // MQTT 5 brokers say when nobody takes the topic: no bridge, and
            // no session of one that would get it later.
            if (reasonCode == MqttClient::NoMatchingSubscribers)
                delivery.replies.insert(player, "error not sent: no bridge takes the commands of " + player.toUtf8());
            else if (reasonCode >= MqttClient::RefusedFrom)
                delivery.replies.insert(player, "error not sent: the broker refused it: "
                                                    + MqttClient::reasonText(reasonCode).toUtf8());
        });
    for (const QString &player : players) {
        request.topic = FleetTopics::playerCommand(player);
        QString error;
        const int mid = m_client->publish(request, &error);
        if (mid == 0) {
            delivery.refusal = error;
            break;
        }
        unconfirmed.insert(mid, player);
    }
    if (delivery.refusal.isEmpty()) {
        const int within = int(RequestExpirySeconds) * 1000 + ReplyGraceMs;
        waitFor(within, [&] {
            const bool everyone = std::all_of(players.begin(), players.end(),
                                              [&](const QString &player) { return delivery.replies.contains(player); });
            return lost || (unconfirmed.isEmpty() && everyone);
        });
        if (delivery.silence.isEmpty())
            delivery.silence =
                unconfirmed.isEmpty()
                    ? QStringLiteral("no answer within %1 s").arg(within / 1000)
                    : QStringLiteral("the broker did not confirm the command within %1 s").arg(within / 1000);
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
