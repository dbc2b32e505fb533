#pragma once

#include "command/playercommand.h"
#include "fleet/brokersettings.h"
#include "fleet/fleettopics.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class MqttClient;

// tunaris-send's side of a fleet: one short session with the broker, which
// lists the players from their retained states, or hands a command to
// players, each on its own topic, as an MQTT 5 request and gathers the
// replies.
//
// A request carries a message expiry of RequestExpirySeconds, its creation
// time and the time it expires (messagelife.h), so it never plays later than
// that, however long the network or a frozen bridge held it; replies come on
// a response topic of this session's own, told apart by correlation data and
// by the player each names.
class FleetSender : public QObject
{
    Q_OBJECT

public:
    static constexpr int ConnectWithinMs = 10000;
    static constexpr quint32 RequestExpirySeconds = 10;
    // Replies are awaited until the request expired, and this long after.
    static constexpr int ReplyGraceMs = 5000;

    explicit FleetSender(const BrokerSettings &broker, QObject *parent = nullptr);
    ~FleetSender() override;

    bool connectToBroker(QString *error);

    // Every player the broker keeps a state of, by ID, or only `player`'s.
    // Nothing, with the reason, when the broker does not answer.
    std::optional<QMap<QString, SeenState>> players(QString *error, const QString &player = QString());

    struct Delivery
    {
        QString refusal;                   // set when the broker took it for nobody: sent to nobody
        QMap<QString, QByteArray> replies; // by player, the first reply of each
        QString silence;                   // why those who did not reply said nothing
    };
    // Hands the command to each player on its own topic and waits for every
    // one to reply, or for the time to run out. A player whose topic nobody
    // takes is answered "error not sent: ..." on its behalf.
    Delivery send(const PlayerCommand &command, const QStringList &players);

    // Leaves the broker in order.
    void stop();

private:
    std::unique_ptr<MqttClient> m_client;
    QByteArray m_replyTopic;
};
