#pragma once

#include "fleet/brokersettings.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <memory>
#include <optional>

// A connection to an MQTT broker (MQTT 5) through libmosquitto, for the
// bridge and the sender; the one place that includes the library. It runs the
// connection on a thread of its own: it connects, reads and writes there, and
// after a failure it waits, longer after each one, and connects again.
// Everything it reports comes to this object's thread as a queued call, so
// the signals below are emitted there and nothing of Qt is touched from the
// library's thread. After the broker gave its session to another connection
// with the same client ID it does not connect again: that would take it back.

using MqttProperties = QList<QPair<QByteArray, QByteArray>>;

struct MqttMessage
{
    QByteArray topic;
    QByteArray payload; // at most Session::keptPayload bytes of it
    qsizetype size = 0; // of the whole payload
    int mid = 0;        // the broker's packet id, for QoS 1 and 2
    int qos = 0;
    bool retain = false;
    QByteArray responseTopic;
    QByteArray correlation;
    bool propertyTooLong = false;         // a response topic or correlation data too long to keep
    std::optional<quint32> expirySeconds; // what is left of its message expiry interval
    MqttProperties userProperties;        // the first few
};

struct MqttPublish
{
    QByteArray topic;
    QByteArray payload;
    bool retain = false;
    QByteArray responseTopic;
    QByteArray correlation;
    std::optional<quint32> expirySeconds;
    MqttProperties userProperties;
};

class MqttClient : public QObject
{
    Q_OBJECT

public:
    struct Session
    {
        QString clientId;
        // Kept by the broker across connections, subscriptions and waiting
        // messages with it, for this long after a disconnection; 0: a new
        // session at every connection.
        quint32 expirySeconds = 0;
        // Published retained by the broker when the connection ends without
        // a word from us (a crash, a pulled cable).
        QByteArray willTopic;
        QByteArray willPayload;
        std::optional<quint32> willExpirySeconds;
        MqttProperties willUserProperties;
        int keptPayload = 1024;
        // Each connection attempt waits for proceed() after aboutToConnect().
        bool askBeforeConnecting = false;
    };

    // MQTT 5 subscription options, to be combined.
    enum SubscribeOption : int {
        NoLocal = 0x04,           // not our own messages
        RetainAsPublished = 0x08, // the retain flag as its publisher set it
        SendRetainedNever = 0x20, // no retained messages at subscription
    };
    // The reason code of a publish that matched no subscription.
    static constexpr int NoMatchingSubscribers = 0x10;
    static constexpr int RefusedFrom = 0x80; // reason codes from here on refuse
    // An MQTT reason code in words, "Not authorized".
    static QString reasonText(int reasonCode);
    // Valid UTF-8 and a topic one may publish to (no wildcards).
    static bool isPublishTopic(const QByteArray &topic);

    // Both at most this long: longer ones are not kept, and the message says so.
    static constexpr int MaxPropertyBytes = 256;
    static constexpr int KeepAliveSeconds = 30;
    // The largest message the broker may hand us; it drops larger ones.
    static constexpr quint32 MaxPacketBytes = 2 * 1024 * 1024;

    MqttClient(const BrokerSettings &broker, const Session &session, QObject *parent = nullptr);
    // Leaves the broker in order without waiting for it.
    ~MqttClient() override;

    // Starts connecting; connected() or connectionFailed() say how it went.
    // False, with the reason, when the settings cannot be used at all.
    bool start(QString *error);
    // Leaves the broker in order (no will), waiting a moment at most.
    void stop();
    bool isConnected() const { return m_connected; }

    // At QoS 1. The packet id whose acknowledgement published() reports, or
    // 0 with the reason. While disconnected the message waits for the next
    // connection.
    int publish(const MqttPublish &message, QString *error);
    // At QoS 1 with the given SubscribeOption values; the packet id
    // subscribed() reports, or 0.
    int subscribe(const QList<QByteArray> &topics, int options);
    // Answers aboutToConnect(): connect now, or count this attempt as failed
    // and ask again after the usual pause.
    void proceed(bool connect);

signals:
    void connected(bool sessionPresent);
    // A connection attempt or a connection failed; another follows.
    void connectionFailed(const QString &reason);
    // With askBeforeConnecting: a connection attempt waits for proceed().
    void aboutToConnect();
    // Another connection with our client ID took the session; no other follows.
    void takenOver(const QString &reason);
    void messageArrived(const MqttMessage &message);
    void published(int mid, int reasonCode);
    // One reason code per topic: 0 to 2 granted QoS, 0x80 and above refused.
    void subscribed(int mid, const QList<int> &reasonCodes);

private:
    struct Worker;
    friend struct Worker;

    std::shared_ptr<Worker> m_worker;
    bool m_connected = false;
};
