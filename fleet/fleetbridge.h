#pragma once

#include "command/commandline.h"
#include "fleet/brokersettings.h"
#include "fleet/fleetjournal.h"
#include "fleet/fleettopics.h"
#include "link/commandintake.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class MqttClient;
struct MqttMessage;

// The bridge's side of a fleet, a door of the bridge's intake
// (commandintake.h): takes commands for its player and its groups from the
// broker (fleettopics.h), hands each to the intake as a line from the network
// is, answers it with the same words on its reply topic, and keeps the
// player's retained state, with what went out last from any door.
//
// Never twice: a command is taken at QoS 1, so the broker may hand it over
// again after a reconnection when our acknowledgement was lost on the way,
// to this process or, after a restart, to the next. Such a copy carries the
// packet id, topic and payload of the first, and is answered with the first
// one's outcome instead of being sent; so is a request repeated with the
// same response topic and correlation data. What was handed on is kept in a
// journal (fleetjournal.h), written before the command goes.
//
// Never stale: each command carries its life (messagelife.h), counted from
// its creation, which the intake judges right before the command goes.
// The broker keeps our session, and what waits in it, only
// SessionExpirySeconds after we vanish.
//
// One bridge per player ID: before each connection it reads the player's
// retained state with a connection of its own, and joins only when no other
// bridge is online for it, or the one online is on this machine for the same
// port (this bridge before a restart, whose connection the broker has not
// yet seen die). Otherwise, and when another bridge takes the session over,
// it says so and refused() asks the program to end.
class FleetBridge : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        BrokerSettings broker;
        QString player;
        QStringList groups;
        QString port; // as the state shows it
        // Announce the player to building automation (fleetdiscovery.h);
        // without it, any announcement of it is removed.
        bool discovery = false;
    };
    using Report = std::function<void(const QString &)>;
    using LinkState = std::function<QString()>;

    static constexpr quint32 SessionExpirySeconds = 30;
    // Requests are remembered by their correlation data this long, and at
    // most this many.
    static constexpr int RememberMs = FleetJournal::KeepSeconds * 1000;
    static constexpr int RememberedRequests = FleetJournal::MaxEntries;
    static constexpr int OwnerCheckWithinMs = 10000;

    FleetBridge(const Settings &settings, CommandIntake *intake, LinkState link, Report report,
                QObject *parent = nullptr);
    ~FleetBridge() override;

    // Opens the journal (in FleetJournal::defaultFolder()) and starts joining the broker; false with the reason
    // when the journal cannot be kept (another bridge of this machine holds
    // the player's) or the broker's settings cannot be used.
    bool start(QString *error);
    // The port's link changed: the retained state says so.
    void publishState();
    // A command answered, from whichever door: the retained state says what
    // became of it and, when it went out, that it was the last to, and what
    // is now known of the volume.
    void noteAnswered(const PlayerCommand &command, const CommandIntake::Reply &reply, const QJsonObject &levels);
    // Publishes the state "offline" and leaves the broker, waiting a moment
    // at most for the broker to take it.
    void stop();

signals:
    // Another bridge serves the player: this one has left the broker.
    void refused();

private:
    struct ReplyTo
    {
        QByteArray topic;
        QByteArray correlation;
    };
    struct Taken;
    struct Unacknowledged
    {
        QByteArray key;
        int connection;   // on which the broker handed it over
        quint64 sequence; // its place among the messages received
        std::shared_ptr<Taken> taken;
    };
    struct Remembered
    {
        qint64 since;
        std::shared_ptr<Taken> taken;
    };
    struct Publish
    {
        int connection;
        quint64 received; // messages received, and acknowledged, before it
    };

    void checkOwner();
    void ownerChecked(const QMap<QString, SeenState> &states);
    void endCheck(bool connect);
    void restore();
    void connected(bool sessionPresent);
    void connectionFailed(const QString &reason);
    void take(const MqttMessage &message);
    std::shared_ptr<Taken> takenBefore(const QByteArray &correlationKey, const QByteArray &redeliveryKey);
    void acknowledged(int mid, int reasonCode);
    void settle(const QList<Unacknowledged> &copies);
    void finish(const std::shared_ptr<Taken> &taken, const CommandIntake::Reply &reply);
    void reply(const ReplyTo &to, const QByteArray &text);
    int publish(const QByteArray &topic, const QByteArray &payload, bool retain, const QByteArray &correlation = {});
    PlayerState state(bool online) const;
    void forget();
    void announce();
    void discoveryConfig(const MqttMessage &message);

    Settings m_settings;
    QString m_host; // this machine's name
    CommandIntake *m_intake;
    LinkState m_link;
    Report m_report;
    std::unique_ptr<MqttClient> m_client;
    QList<QByteArray> m_commandTopics;
    QElapsedTimer m_clock;
    FleetJournal m_journal;

    // The check of who serves the player, on a connection of its own.
    MqttClient *m_probe = nullptr;
    QTimer m_probeTimeout;

    int m_connection = 0;
    bool m_sessionResumed = false;
    bool m_firstAcknowledgement = false; // none yet on this connection
    quint64 m_received = 0;
    QList<Unacknowledged> m_unacknowledged;
    QHash<QByteArray, Remembered> m_requests;
    QQueue<QByteArray> m_requestOrder;
    QHash<int, Publish> m_publishes;

    PlayerState m_last;   // the last command that went out, and the last answered
    QString m_since;      // this connection's, UTC
    QTimer m_answerState; // a state for answers that sent nothing, at most this often
    int m_commandSubscription = 0;
    QList<QByteArray> m_announced; // the discovery topics of this bridge's entities
    QStringList m_removedConfigs;
    QString m_lastFailure;
    QElapsedTimer m_lastFailureReport;
    bool m_wasConnected = false;
    bool m_refused = false;
    QStringList m_taking; // the command topics the broker hands over
};
