#include "fleet/statereader.h"
#include "fleet/mqttclient.h"

#include <QRandomGenerator>

namespace {

QByteArray randomHex(int bytes)
{
    QByteArray data(bytes, '\0');
    for (char &byte : data)
        byte = char(QRandomGenerator::system()->bounded(256));
    return data.toHex();
}

} // namespace

StateReader::StateReader(MqttClient *client, const QByteArray &filter, QObject *parent, Mode mode)
    : QObject(parent)
    , m_client(client)
    , m_filter(filter)
    , m_markerTopic("tunaris/senders/" + randomHex(8) + "/listed")
    , m_marker(randomHex(8))
    , m_mode(mode)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        m_done = true;
        emit failed(m_subscribed
                        ? QStringLiteral("the broker did not finish listing the players' states within %1 s")
                              .arg(ReadWithinMs / 1000)
                        : QStringLiteral("the broker did not confirm the subscription to the players' states"));
    });
    connect(m_client, &MqttClient::messageArrived, this, [this](const MqttMessage &message) {
        if (m_done) {
            const QString player = m_watching ? FleetTopics::playerOfState(message.topic) : QString();
            if (player.isEmpty())
                return;
            if (message.size > 0)
                emit changed(player, seen(message));
            else
                emit removed(player);
            return;
        }
        if (message.topic == m_markerTopic) {
            if (message.payload == m_marker) {
                m_done = true;
                m_watching = m_mode == Mode::Watch;
                m_timeout.stop();
                emit finished(m_states);
            }
            return;
        }
        const QString player = FleetTopics::playerOfState(message.topic);
        // An empty retained message is a deleted state.
        if (!player.isEmpty() && message.size > 0)
            m_states.insert(player, seen(message));
    });
    connect(m_client, &MqttClient::subscribed, this, [this](int mid, const QList<int> &codes) {
        if (m_done || mid != m_subscription)
            return;
        for (const int code : codes) {
            if (code >= MqttClient::RefusedFrom) {
                m_done = true;
                m_timeout.stop();
                emit failed(QStringLiteral("the broker refused the subscription to the players' states: %1")
                                .arg(MqttClient::reasonText(code)));
                return;
            }
        }
        m_subscribed = true;
        MqttPublish echo;
        echo.topic = m_markerTopic;
        echo.payload = m_marker;
        QString error;
        m_client->publish(echo, &error);
    });
}

void StateReader::start()
{
    m_timeout.start(ReadWithinMs);
    m_subscription = m_client->subscribe({m_filter, m_markerTopic}, 0);
}

SeenState StateReader::seen(const MqttMessage &message)
{
    SeenState seen;
    const QString player = FleetTopics::playerOfState(message.topic);
    if (message.size == message.payload.size())
        seen.state = PlayerState::fromJson(message.payload);
    const bool named =
        message.userProperties.contains(qMakePair(QByteArray(FleetTopics::PlayerProperty), player.toUtf8()));
    seen.propertiesKept = named && message.expirySeconds.has_value();
    if (message.expirySeconds && *message.expirySeconds <= FleetTopics::StateExpirySeconds) {
        seen.published =
            QDateTime::currentDateTimeUtc().addSecs(-qint64(FleetTopics::StateExpirySeconds - *message.expirySeconds));
    }
    return seen;
}
