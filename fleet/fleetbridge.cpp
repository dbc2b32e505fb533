#include "fleet/fleetbridge.h"
#include "command/commandgrammar.h"
#include "fleet/mqttclient.h"

#include <QDateTime>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <optional>

namespace {

// Same reason, told again at most this often while the broker stays away.
constexpr int repeatFailureMs = 60 * 1000;
constexpr int stopWaitMs = 2000;
// Copies of commands that the broker may still hand over again.
constexpr int maxUnacknowledged = 1024;

QByteArray withoutLineEnd(const QByteArray &reply)
{
    return reply.endsWith('\n') ? reply.chopped(1) : reply;
}

std::optional<QDateTime> utcTime(const QByteArray &text)
{
    const QDateTime time = QDateTime::fromString(QString::fromLatin1(text), Qt::ISODateWithMs);
    if (!time.isValid() || time.timeSpec() != Qt::UTC)
        return std::nullopt;
    return time;
}

bool isPublishTopic(const QByteArray &topic)
{
    return mosquitto_validate_utf8(topic.constData(), int(topic.size())) == MOSQ_ERR_SUCCESS
           && mosquitto_pub_topic_check2(topic.constData(), size_t(topic.size())) == MOSQ_ERR_SUCCESS;
}

} // namespace

struct FleetBridge::Taken
{
    CommandFrame frame;
    std::optional<SendOutcome> outcome;
    QList<ReplyTo> waiting; // answered once the outcome is known
};

struct FleetBridge::Waiting
{
    PlayerCommand command;
    std::shared_ptr<Taken> taken;
    qint64 deadline; // on m_clock
    QString life;    // how long it was good for, in words
};

FleetBridge::FleetBridge(const Settings &settings, DeliverCommand deliver, LinkState link, Report report,
                         QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_deliver(std::move(deliver))
    , m_link(std::move(link))
    , m_report(std::move(report))
{
    m_settings.groups.removeDuplicates();
    m_commandTopics << FleetTopics::playerCommand(m_settings.player);
    for (const QString &group : std::as_const(m_settings.groups))
        m_commandTopics << FleetTopics::groupCommand(group);
    m_clock.start();

    MqttClient::Session session;
    // One session per player, kept across our restarts and the broker's.
    session.clientId = QStringLiteral("tunaris-bridge-%1").arg(m_settings.player);
    session.expirySeconds = SessionExpirySeconds;
    session.willTopic = FleetTopics::playerState(m_settings.player);
    session.willPayload = state(false).toJson();
    // A command and its line end; anything longer is refused by its size.
    session.keptPayload = MaxCommandLineLength + 2;
    m_client = std::make_unique<MqttClient>(m_settings.broker, session);
    connect(m_client.get(), &MqttClient::connected, this, &FleetBridge::connected);
    connect(m_client.get(), &MqttClient::connectionFailed, this, &FleetBridge::connectionFailed);
    connect(m_client.get(), &MqttClient::messageArrived, this, &FleetBridge::take);
    connect(m_client.get(), &MqttClient::published, this, &FleetBridge::acknowledged);
    connect(m_client.get(), &MqttClient::subscribed, this, [this](int, const QList<int> &codes) {
        QStringList taken;
        for (int i = 0; i < codes.size() && i < m_commandTopics.size(); ++i) {
            const QString topic = QString::fromUtf8(m_commandTopics.at(i));
            if (codes.at(i) < 0x80) {
                taken << topic;
            } else {
                m_report(QStringLiteral("the broker refused to hand over %1: %2")
                             .arg(topic, QString::fromUtf8(mosquitto_reason_string(codes.at(i)))));
            }
        }
        // Once, and again after a change: from here on commands reach us.
        if (taken != m_taking && !taken.isEmpty())
            m_report(QStringLiteral("taking the commands of %1").arg(taken.join(QLatin1String(", "))));
        m_taking = taken;
    });
}

FleetBridge::~FleetBridge() = default;

bool FleetBridge::start(QString *error)
{
    const QStringList &groups = m_settings.groups;
    m_report(
        QStringLiteral("joining %1 as player %2%3")
            .arg(m_settings.broker.address(), m_settings.player,
                 groups.isEmpty() ? QString() : QStringLiteral(" (groups %1)").arg(groups.join(QLatin1String(", ")))));
    return m_client->start(error);
}

void FleetBridge::publishState()
{
    // A state made while away would only be outdated by the time it went:
    // the connection publishes the current one.
    if (m_client->isConnected())
        publish(FleetTopics::playerState(m_settings.player), state(true).toJson(), true);
}

void FleetBridge::stop()
{
    if (m_client->isConnected()) {
        const int mid = publish(FleetTopics::playerState(m_settings.player), state(false).toJson(), true);
        QEventLoop wait;
        connect(m_client.get(), &MqttClient::published, &wait, [&](int acknowledged) {
            if (acknowledged == mid)
                wait.quit();
        });
        connect(m_client.get(), &MqttClient::connectionFailed, &wait, &QEventLoop::quit);
        QTimer::singleShot(stopWaitMs, &wait, &QEventLoop::quit);
        if (mid != 0)
            wait.exec();
    }
    m_client->stop();
}

void FleetBridge::connected(bool sessionPresent)
{
    ++m_connection;
    m_sessionResumed = sessionPresent;
    m_firstAcknowledgement = true;
    // A new session holds nothing the broker could hand over again.
    if (!sessionPresent)
        m_unacknowledged.clear();
    m_client->subscribe(m_commandTopics, MQTT_SUB_OPT_NO_LOCAL | MQTT_SUB_OPT_SEND_RETAIN_NEVER);
    publishState();
    if (!m_wasConnected || !m_lastFailure.isEmpty())
        m_report(QStringLiteral("connected to %1").arg(m_settings.broker.address()));
    m_wasConnected = true;
    m_lastFailure.clear();
}

void FleetBridge::connectionFailed(const QString &reason)
{
    if (reason == m_lastFailure && m_lastFailureReport.isValid() && !m_lastFailureReport.hasExpired(repeatFailureMs))
        return;
    m_lastFailure = reason;
    m_lastFailureReport.start();
    m_report(QStringLiteral("%1; trying again").arg(reason));
}

void FleetBridge::take(const MqttMessage &message)
{
    ++m_received;
    if (!m_commandTopics.contains(message.topic))
        return;
    ReplyTo to{FleetTopics::playerReply(m_settings.player), QByteArray()};
    const auto refuse = [&](const QString &reason) { reply(to, withoutLineEnd(errorReply(reason))); };
    if (message.propertyTooLong)
        return refuse(QStringLiteral("response topic or correlation data longer than %1 bytes")
                          .arg(MqttClient::MaxPropertyBytes));
    if (!message.responseTopic.isEmpty()) {
        if (!isPublishTopic(message.responseTopic))
            return refuse(QStringLiteral("the response topic is not one to publish to"));
        to = {message.responseTopic, message.correlation};
    }
    const QByteArray correlationKey = message.responseTopic.isEmpty() || message.correlation.isEmpty()
                                          ? QByteArray()
                                          : message.topic + '\n' + message.responseTopic + '\n' + message.correlation;
    const QByteArray redeliveryKey =
        message.qos == 0 ? QByteArray()
                         : message.topic + '\n' + QByteArray::number(message.mid) + '\n' + message.payload;
    if (const std::shared_ptr<Taken> earlier = takenBefore(correlationKey, redeliveryKey)) {
        m_report(QStringLiteral("%1: a command taken before came again; answered as before, not sent again")
                     .arg(QString::fromUtf8(message.topic)));
        if (earlier->outcome)
            reply(to, withoutLineEnd(replyLine(earlier->frame, *earlier->outcome)));
        else
            earlier->waiting << to;
        return;
    }

    // Retained, it would play again at every subscription.
    if (message.retain)
        return refuse(QStringLiteral("a retained command is never taken"));
    if (message.size > MaxCommandLineLength + 2) {
        return refuse(QStringLiteral("%1 bytes, longer than one command of at most %2")
                          .arg(message.size)
                          .arg(MaxCommandLineLength));
    }
    const CommandLineResult parsed = parseCommandMessage(message.payload, QStringLiteral("message"));
    if (!parsed.command)
        return refuse(parsed.error);

    auto waiting = std::make_shared<Waiting>();
    const qint64 now = m_clock.elapsed();
    QByteArray created;
    for (const auto &[name, value] : message.userProperties) {
        if (name == FleetTopics::CreatedProperty)
            created = value;
    }
    if (message.expirySeconds) {
        waiting->deadline = now + qint64(*message.expirySeconds) * 1000;
        waiting->life = QStringLiteral("its message expiry, %1 s").arg(*message.expirySeconds);
    } else if (!created.isEmpty()) {
        const std::optional<QDateTime> made = utcTime(created);
        if (!made)
            return refuse(QStringLiteral("'created' is not a UTC time such as 2025-05-01T12:00:00.250Z"));
        const qint64 age = std::max<qint64>(0, made->msecsTo(QDateTime::currentDateTimeUtc()));
        if (age > DefaultLifeSeconds * 1000) {
            return refuse(QStringLiteral("not sent: made %1 s ago, and a command without a message expiry is "
                                         "taken for %2 s")
                              .arg(age / 1000)
                              .arg(DefaultLifeSeconds));
        }
        waiting->deadline = now + DefaultLifeSeconds * 1000 - age;
        waiting->life = QStringLiteral("%1 s from its 'created' time").arg(DefaultLifeSeconds);
    } else {
        waiting->deadline = now + DefaultLifeSeconds * 1000;
        waiting->life = QStringLiteral("%1 s from its arrival, having no message expiry").arg(DefaultLifeSeconds);
    }
    if (m_queue.size() >= MaxWaiting)
        return refuse(QStringLiteral("not sent: %1 commands already wait for the line").arg(MaxWaiting));

    waiting->command = *parsed.command;
    waiting->taken = std::make_shared<Taken>();
    waiting->taken->frame = toFrame(*parsed.command);
    waiting->taken->waiting << to;
    if (!correlationKey.isEmpty()) {
        m_requests.insert(correlationKey, {now, waiting->taken});
        m_requestOrder.enqueue(correlationKey);
    }
    if (!redeliveryKey.isEmpty()) {
        m_unacknowledged.append({redeliveryKey, m_connection, m_received, waiting->taken});
        if (m_unacknowledged.size() > maxUnacknowledged)
            m_unacknowledged.removeFirst();
    }
    forget();
    m_queue.enqueue(waiting);
    pump();
}

// A copy the broker handed over again can only come on a later connection
// that resumed the session, and only until the broker has our
// acknowledgement of the first. On the same connection the same packet id
// is a new message: the broker may give an id again once it is acknowledged.
std::shared_ptr<FleetBridge::Taken> FleetBridge::takenBefore(const QByteArray &correlationKey,
                                                             const QByteArray &redeliveryKey)
{
    if (!correlationKey.isEmpty()) {
        const auto found = m_requests.constFind(correlationKey);
        if (found != m_requests.cend() && m_clock.elapsed() - found->since < RememberMs)
            return found->taken;
    }
    if (redeliveryKey.isEmpty() || !m_sessionResumed)
        return nullptr;
    for (const Unacknowledged &copy : std::as_const(m_unacknowledged)) {
        if (copy.key == redeliveryKey && copy.connection < m_connection)
            return copy.taken;
    }
    return nullptr;
}

// The broker acknowledged one of ours. It took everything written before it
// on the same connection, our acknowledgements of the commands received by
// then among it (the library writes those before it hands a command over):
// none of those can come again.
void FleetBridge::acknowledged(int mid, int reasonCode)
{
    const auto found = m_publishes.constFind(mid);
    if (found == m_publishes.cend())
        return;
    const Publish publish = *found;
    m_publishes.erase(found);
    if (publish.connection == m_connection) {
        m_unacknowledged.removeIf([&](const Unacknowledged &copy) {
            // A resumed session's copies come first on the connection, so
            // by its first acknowledgement every one of them was here.
            return (copy.connection == publish.connection && copy.sequence <= publish.received)
                   || (m_firstAcknowledgement && copy.connection < m_connection);
        });
        m_firstAcknowledgement = false;
    }
    if (reasonCode >= 0x80)
        m_report(QStringLiteral("the broker refused a message of ours: %1")
                     .arg(QString::fromUtf8(mosquitto_reason_string(reasonCode))));
}

void FleetBridge::pump()
{
    if (m_busy || m_queue.isEmpty())
        return;
    const std::shared_ptr<Waiting> next = m_queue.dequeue();
    if (m_clock.elapsed() > next->deadline) {
        finish(next->taken,
               SendOutcome::notSent(
                   QStringLiteral("not sent: expired (%1) before the line could take it").arg(next->life)));
        QTimer::singleShot(0, this, &FleetBridge::pump);
        return;
    }
    m_busy = true;
    m_deliver(next->command, [self = QPointer<FleetBridge>(this), next](const SendOutcome &outcome) {
        if (!self)
            return;
        self->m_busy = false;
        if (outcome.isSent()) {
            self->m_last.lastCommand = commandWords(next->command);
            self->m_last.lastBytes = QString::fromLatin1(frameBytes(next->taken->frame).toHex(' '));
            self->m_last.lastTime = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        }
        self->finish(next->taken, outcome);
        if (outcome.isSent())
            self->publishState();
        // From the event loop: a delivery may answer before it returns.
        QTimer::singleShot(0, self, &FleetBridge::pump);
    });
}

void FleetBridge::finish(const std::shared_ptr<Taken> &taken, const SendOutcome &outcome)
{
    taken->outcome = outcome;
    const QByteArray text = withoutLineEnd(replyLine(taken->frame, outcome));
    for (const ReplyTo &to : std::as_const(taken->waiting))
        reply(to, text);
    taken->waiting.clear();
}

void FleetBridge::reply(const ReplyTo &to, const QByteArray &text)
{
    publish(to.topic, text, false, to.correlation);
}

int FleetBridge::publish(const QByteArray &topic, const QByteArray &payload, bool retain, const QByteArray &correlation)
{
    MqttPublish message;
    message.topic = topic;
    message.payload = payload;
    message.retain = retain;
    message.correlation = correlation;
    // Who answered, on a response topic a whole group shares.
    message.userProperties << qMakePair(QByteArray(FleetTopics::PlayerProperty), m_settings.player.toUtf8());
    QString error;
    const int mid = m_client->publish(message, &error);
    if (mid == 0) {
        m_report(QStringLiteral("cannot publish on %1: %2").arg(QString::fromUtf8(topic), error));
        return 0;
    }
    // Acknowledgements that never come (a session the broker lost) only
    // keep copies longer: forgetting them all is the safe side.
    if (m_publishes.size() >= maxUnacknowledged)
        m_publishes.clear();
    m_publishes.insert(mid, {m_connection, m_received});
    return mid;
}

PlayerState FleetBridge::state(bool online) const
{
    PlayerState state = m_last;
    state.online = online;
    state.port = m_settings.port;
    state.groups = m_settings.groups;
    state.link = online ? m_link() : QString();
    return state;
}

// Requests are remembered for a while and in a bounded number: a repeat
// after that is a new request.
void FleetBridge::forget()
{
    while (!m_requestOrder.isEmpty()) {
        const auto oldest = m_requests.constFind(m_requestOrder.head());
        const bool stale = oldest == m_requests.cend() || m_clock.elapsed() - oldest->since >= RememberMs;
        if (!stale && m_requestOrder.size() <= RememberedRequests)
            break;
        m_requests.remove(m_requestOrder.dequeue());
    }
}
