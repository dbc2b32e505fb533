#pragma once

#include "command/playercommand.h"
#include "fleet/brokersettings.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <map>
#include <memory>

class MqttClient;
struct MqttMessage;

// The sending side of a fleet, for tunaris-send and the office's page: one
// connection to the broker, on which commands go to players, each on its own
// topic, as MQTT 5 requests, and their replies come back. It never waits in
// an event loop of its own: everything it learns comes as a signal.
//
// A request carries a message expiry of RequestExpirySeconds, its creation
// time and the time it expires (messagelife.h), so it never plays later than
// that, however long the network or a frozen bridge held it; replies come on
// a response topic of this connection's own, told apart by correlation data
// and by the player each names.
//
// The delivery contract: every player a command is sent to gets exactly one
// answer in the contract's words: its bridge's reply ("ok ...", "error ...",
// "unknown ..."); "error not sent: ..." when the broker took the command for
// nobody or refused it; "unknown ..." when no reply came within
// RequestExpirySeconds + ReplyGraceMs or the connection was lost first (the
// command may have gone out, but cannot play after it expired).
class FleetSender : public QObject
{
    Q_OBJECT

public:
    static constexpr quint32 RequestExpirySeconds = 10;
    // Replies are awaited until the request expired, and this long after.
    static constexpr int ReplyGraceMs = 5000;
    static constexpr int SubscribeWithinMs = 5000;
    // Sends under way at once, at most; more are answered "error not sent".
    static constexpr int MaxSending = 64;

    explicit FleetSender(const BrokerSettings &broker, QObject *parent = nullptr);
    ~FleetSender() override;

    // Starts joining the broker: ready() once replies can come (again after
    // each reconnection), unavailable() when an attempt or the connection
    // fails; the connection is tried again by itself. False, with the reason,
    // when the settings cannot be used at all.
    bool start(QString *error);
    bool isReady() const { return m_ready; }
    // The connection, for reading the players' states on it (statereader.h).
    MqttClient *client() const { return m_client.get(); }

    // Hands the command to each player on its own topic. Each player is
    // answered once, by answered(), then finished() says the send is over;
    // neither comes before this returns the send's number.
    quint64 send(const PlayerCommand &command, const QStringList &players);

    // Leaves the broker in order; sends under way are answered "unknown".
    void stop();

signals:
    void ready();
    void unavailable(const QString &reason);
    void answered(quint64 send, const QString &player, const QByteArray &reply);
    void finished(quint64 send);

private:
    struct Send
    {
        QByteArray correlation;
        QStringList waiting; // the players not answered yet
        QDeadlineTimer deadline;
        int unconfirmed = 0; // publishes the broker has not acknowledged
    };
    struct Published
    {
        quint64 send;
        QString player;
    };

    void connected();
    void subscribed(int mid, const QList<int> &codes);
    void lost(const QString &reason);
    void replied(const MqttMessage &message);
    void acknowledged(int mid, int reasonCode);
    void answer(quint64 number, const QString &player, const QByteArray &reply);
    void expire();
    void endAll(const QString &reason);

    std::unique_ptr<MqttClient> m_client;
    QByteArray m_replyTopic;
    int m_subscription = 0;
    bool m_ready = false;
    QString m_lastFailure;
    QTimer m_subscribeTimeout;
    QTimer m_expiry; // the oldest send's deadline
    quint64 m_sends = 0;
    std::map<quint64, std::unique_ptr<Send>> m_sending;
    QHash<QByteArray, quint64> m_byCorrelation;
    QHash<int, Published> m_published; // by packet id
};
