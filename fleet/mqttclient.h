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
// bridge and the sender. libmosquitto runs the connection on a thread of its
// own: it connects, reads and writes there, and after a failure it waits,
// longer after each one, and connects again. Everything it reports comes to
// this object's thread as a queued call, so the signals below are emitted
// there and nothing of Qt is touched from the library's thread.

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
        int keptPayload = 1024;
    };

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
    // At QoS 1 with the given MQTT 5 subscription options; the packet id
    // subscribed() reports, or 0.
    int subscribe(const QList<QByteArray> &topics, int options);

signals:
    void connected(bool sessionPresent);
    // A connection attempt or a connection failed; another follows.
    void connectionFailed(const QString &reason);
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
