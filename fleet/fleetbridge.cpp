#include "fleet/fleetbridge.h"
#include "base/version.h"
#include "command/commandgrammar.h"
#include "fleet/fleetdiscovery.h"
#include "fleet/messagelife.h"
#include "fleet/mqttclient.h"
#include "fleet/statereader.h"

#include <QDateTime>
#include <QEventLoop>
#include <QPointer>
#include <QRandomGenerator>
#include <QSysInfo>

#include <optional>

namespace {

// Same reason, told again at most this often while the broker stays away.
constexpr int repeatFailureMs = 60 * 1000;
constexpr int stopWaitMs = 2000;
// Copies of commands that the broker may still hand over again.
constexpr int maxUnacknowledged = 1024;
// A flood of refused commands must not become a flood of states.
constexpr int answerStateMs = 200;
constexpr int maxRemovalReports = 64;

QByteArray withoutLineEnd(const QByteArray &reply)
{
    return reply.endsWith('\n') ? reply.chopped(1) : reply;
}

QByteArray userProperty(const MqttMessage &message, const char *name)
{
    for (const auto &[key, value] : message.userProperties) {
        if (key == name)
            return value;
    }
    return QByteArray();
}

} // namespace

struct FleetBridge::Taken
{
    QByteArray reply;       // the reply line once the outcome is known
    QList<ReplyTo> waiting; // answered once it is
    quint64 journal = 0;    // its number there, once handed on
    bool settled = false;   // the broker cannot hand it over again
};

FleetBridge::FleetBridge(const Settings &settings, CommandIntake *intake, LinkState link, Report report,
                         QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_host(QSysInfo::machineHostName())
    , m_intake(intake)
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
    // What went out last is not known when the connection is made.
    PlayerState will = state(false);
    will.lastCommand.clear();
    will.lastBytes.clear();
    will.lastTime.clear();
    will.answerCommand.clear();
    will.answerReply.clear();
    will.answerTime.clear();
    session.willPayload = will.toJson();
    session.willExpirySeconds = FleetTopics::StateExpirySeconds;
    session.willUserProperties << qMakePair(QByteArray(FleetTopics::PlayerProperty), m_settings.player.toUtf8());
    // A command and its line end; anything longer is refused by its size.
    session.keptPayload = MaxCommandLineLength + 2;
    session.askBeforeConnecting = true;
    m_client = std::make_unique<MqttClient>(m_settings.broker, session);
    connect(m_client.get(), &MqttClient::aboutToConnect, this, &FleetBridge::checkOwner);
    connect(m_client.get(), &MqttClient::connected, this, &FleetBridge::connected);
    connect(m_client.get(), &MqttClient::connectionFailed, this, &FleetBridge::connectionFailed);
    connect(m_client.get(), &MqttClient::messageArrived, this, &FleetBridge::take);
    connect(m_client.get(), &MqttClient::published, this, &FleetBridge::acknowledged);
    connect(m_client.get(), &MqttClient::takenOver, this, [this](const QString &reason) {
        m_report(QStringLiteral("another bridge joined %1 as player %2 and took its session over (%3): this one "
                                "leaves; a player ID has one bridge")
                     .arg(m_settings.broker.address(), m_settings.player, reason));
        m_refused = true;
        emit refused();
    });
    connect(m_client.get(), &MqttClient::subscribed, this, [this](int mid, const QList<int> &codes) {
        // The discovery configurations' subscription only serves to remove
        // stale ones: a broker that will not show them has none of ours.
        if (mid != m_commandSubscription)
            return;
        QStringList taken;
        for (int i = 0; i < codes.size() && i < m_commandTopics.size(); ++i) {
            const QString topic = QString::fromUtf8(m_commandTopics.at(i));
            if (codes.at(i) < MqttClient::RefusedFrom) {
                taken << topic;
            } else {
                m_report(QStringLiteral("the broker refused to hand over %1: %2")
                             .arg(topic, MqttClient::reasonText(codes.at(i))));
            }
        }
        // Once, and again after a change: from here on commands reach us.
        if (taken != m_taking && !taken.isEmpty())
            m_report(QStringLiteral("taking the commands of %1").arg(taken.join(QLatin1String(", "))));
        m_taking = taken;
    });
    m_answerState.setSingleShot(true);
    connect(&m_answerState, &QTimer::timeout, this, &FleetBridge::publishState);
    if (m_settings.discovery) {
        for (const FleetDiscovery::Config &config :
             FleetDiscovery::configs(m_settings.player, QStringLiteral(TUNARIS_VERSION)))
            m_announced << config.topic;
    }
    m_probeTimeout.setSingleShot(true);
    connect(&m_probeTimeout, &QTimer::timeout, this, [this] {
        connectionFailed(QStringLiteral("cannot tell who serves player %1: %2 did not answer within %3 s")
                             .arg(m_settings.player, m_settings.broker.address())
                             .arg(OwnerCheckWithinMs / 1000));
        endCheck(false);
    });
}

FleetBridge::~FleetBridge()
{
    delete m_probe;
}

bool FleetBridge::start(QString *error)
{
    if (!m_journal.open(FleetJournal::defaultFolder(), m_settings.player, error))
        return false;
    restore();
    const QStringList &groups = m_settings.groups;
    m_report(
        QStringLiteral("joining %1 as player %2%3")
            .arg(m_settings.broker.address(), m_settings.player,
                 groups.isEmpty() ? QString() : QStringLiteral(" (groups %1)").arg(groups.join(QLatin1String(", ")))));
    return m_client->start(error);
}

// What the journal kept of the bridge before this one: answers for copies
// the broker may hand over again, and the last command that went out.
void FleetBridge::restore()
{
    if (const std::optional<FleetJournal::Last> &last = m_journal.last()) {
        m_last.lastCommand = last->command;
        m_last.lastBytes = last->bytes;
        m_last.lastTime = last->time;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const FleetJournal::Entry &entry : m_journal.entries()) {
        auto taken = std::make_shared<Taken>();
        taken->reply = entry.reply.isEmpty() ? QByteArray("unknown the bridge stopped while it was handing this "
                                                          "command on; it may have gone out")
                                             : entry.reply;
        taken->journal = entry.number;
        taken->settled = entry.settled;
        if (!entry.request.isEmpty()) {
            m_requests.insert(entry.request, {-entry.at.msecsTo(now), taken});
            m_requestOrder.enqueue(entry.request);
        }
        // From a connection before this process's first.
        if (!entry.redelivery.isEmpty() && !entry.settled)
            m_unacknowledged.append({entry.redelivery, 0, 0, taken});
    }
    forget();
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
    m_probeTimeout.stop();
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

// Before each connection: who is online as this player? Joining with its
// client ID would take the session from a bridge that is.
void FleetBridge::checkOwner()
{
    if (m_refused)
        return;
    delete m_probe;
    MqttClient::Session session;
    session.clientId = QStringLiteral("tunaris-bridge-%1-check-%2")
                           .arg(m_settings.player)
                           .arg(QRandomGenerator::global()->generate64() & 0xffffffffffffULL, 12, 16, QLatin1Char('0'));
    session.keptPayload = 16 * 1024;
    m_probe = new MqttClient(m_settings.broker, session);
    auto *reader = new StateReader(m_probe, FleetTopics::playerState(m_settings.player), m_probe);
    connect(m_probe, &MqttClient::connected, reader, &StateReader::start);
    connect(m_probe, &MqttClient::connectionFailed, this, [this](const QString &reason) {
        connectionFailed(reason);
        endCheck(false);
    });
    connect(reader, &StateReader::finished, this, &FleetBridge::ownerChecked);
    connect(reader, &StateReader::failed, this, [this](const QString &reason) {
        connectionFailed(reason);
        endCheck(false);
    });
    m_probeTimeout.start(OwnerCheckWithinMs);
    QString error;
    if (!m_probe->start(&error)) {
        connectionFailed(error);
        endCheck(false);
    }
}

void FleetBridge::ownerChecked(const QMap<QString, SeenState> &states)
{
    const std::optional<PlayerState> owner = states.value(m_settings.player).state;
    const bool ours = owner && owner->host == m_host && owner->port == m_settings.port;
    if (!owner || !owner->online || ours)
        return endCheck(true);
    m_report(QStringLiteral("player %1 is taken: the bridge on %2 for %3 serves it, and a player ID has one bridge; "
                            "this one does not join %4")
                 .arg(m_settings.player, owner->host.isEmpty() ? QStringLiteral("an unnamed host") : owner->host,
                      owner->port, m_settings.broker.address()));
    m_refused = true;
    endCheck(false);
    emit refused();
}

void FleetBridge::endCheck(bool connect)
{
    m_probeTimeout.stop();
    if (m_probe) {
        // Not from within its own signals.
        m_probe->disconnect(this);
        m_probe->deleteLater();
        m_probe = nullptr;
    }
    m_client->proceed(connect);
}

void FleetBridge::connected(bool sessionPresent)
{
    ++m_connection;
    m_sessionResumed = sessionPresent;
    m_firstAcknowledgement = true;
    // A new session holds nothing the broker could hand over again.
    if (!sessionPresent) {
        settle(m_unacknowledged);
        m_unacknowledged.clear();
    }
    m_commandSubscription = m_client->subscribe(m_commandTopics, MqttClient::NoLocal | MqttClient::RetainAsPublished
                                                                     | MqttClient::SendRetainedNever);
    m_since = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    publishState();
    announce();
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
    if (FleetDiscovery::isNodeConfig(message.topic, m_settings.player))
        return discoveryConfig(message);
    if (!m_commandTopics.contains(message.topic))
        return;
    ReplyTo to{FleetTopics::playerReply(m_settings.player), QByteArray()};
    const auto refuse = [&](const QString &reason) { reply(to, withoutLineEnd(errorReply(reason))); };
    if (message.propertyTooLong)
        return refuse(QStringLiteral("response topic or correlation data longer than %1 bytes")
                          .arg(MqttClient::MaxPropertyBytes));
    if (!message.responseTopic.isEmpty()) {
        if (!MqttClient::isPublishTopic(message.responseTopic))
            return refuse(QStringLiteral("the response topic is not one to publish to"));
        to = {message.responseTopic, message.correlation};
    }
    const QByteArray correlationKey =
        message.responseTopic.isEmpty() || message.correlation.isEmpty()
            ? QByteArray()
            : FleetJournal::key({message.topic, message.responseTopic, message.correlation});
    const QByteArray redeliveryKey =
        message.qos == 0 ? QByteArray()
                         : FleetJournal::key({message.topic, QByteArray::number(message.mid), message.payload});
    if (const std::shared_ptr<Taken> earlier = takenBefore(correlationKey, redeliveryKey)) {
        m_report(QStringLiteral("%1: a command taken before came again; answered as before, not sent again")
                     .arg(QString::fromUtf8(message.topic)));
        if (!earlier->reply.isEmpty())
            reply(to, earlier->reply);
        else
            earlier->waiting << to;
        return;
    }

    // Retained, it would play again at every subscription.
    if (message.retain)
        return refuse(QStringLiteral("a retained command is never taken"));
    // Only so much of a message is kept: a longer one was never one command.
    if (message.size > MaxCommandLineLength + 2) {
        return refuse(QStringLiteral("%1 bytes, longer than one command of at most %2")
                          .arg(message.size)
                          .arg(MaxCommandLineLength));
    }
    const MessageLife::Result judged =
        MessageLife::judge({message.expirySeconds, userProperty(message, FleetTopics::CreatedProperty),
                            userProperty(message, FleetTopics::ExpiresProperty)},
                           QDateTime::currentDateTimeUtc());
    if (!judged.life)
        return refuse(judged.refusal);

    auto taken = std::make_shared<Taken>();
    taken->waiting << to;
    // Written before it is handed on: a copy that comes after a restart is
    // answered from here, never sent again.
    QString error;
    taken->journal = m_journal.handed(redeliveryKey, correlationKey, false, &error);
    if (taken->journal == 0) {
        m_report(error);
        return refuse(QStringLiteral("not sent: the bridge cannot keep its journal: %1").arg(error));
    }
    if (!correlationKey.isEmpty()) {
        m_requests.insert(correlationKey, {m_clock.elapsed(), taken});
        m_requestOrder.enqueue(correlationKey);
    }
    if (!redeliveryKey.isEmpty()) {
        m_unacknowledged.append({redeliveryKey, m_connection, m_received, taken});
        if (m_unacknowledged.size() > maxUnacknowledged)
            m_unacknowledged.removeFirst();
    }
    forget();
    const QByteArray sender = message.responseTopic.isEmpty() ? message.topic : message.responseTopic;
    const auto client =
        CommandIntake::client({QStringLiteral("broker"), QString::fromUtf8(sender.left(MqttClient::MaxPropertyBytes)),
                               QStringLiteral("broker")},
                              QStringLiteral("message"));
    m_intake->take(
        client, message.payload,
        [self = QPointer<FleetBridge>(this), taken](const CommandIntake::Reply &reply) {
            if (self)
                self->finish(taken, reply);
        },
        *judged.life);
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
        QList<Unacknowledged> settled;
        m_unacknowledged.removeIf([&](const Unacknowledged &copy) {
            // A resumed session's copies come first on the connection, so
            // by its first acknowledgement every one of them was here.
            const bool done = (copy.connection == publish.connection && copy.sequence <= publish.received)
                              || (m_firstAcknowledgement && copy.connection < m_connection);
            if (done)
                settled << copy;
            return done;
        });
        settle(settled);
        m_firstAcknowledgement = false;
    }
    if (reasonCode >= MqttClient::RefusedFrom)
        m_report(QStringLiteral("the broker refused a message of ours: %1").arg(MqttClient::reasonText(reasonCode)));
}

// The journal learns which of those it holds can no longer come again.
void FleetBridge::settle(const QList<Unacknowledged> &copies)
{
    QList<quint64> numbers;
    for (const Unacknowledged &copy : copies) {
        if (copy.taken->journal != 0 && !copy.taken->settled)
            numbers << copy.taken->journal;
        copy.taken->settled = true;
    }
    m_journal.settled(numbers);
}

void FleetBridge::finish(const std::shared_ptr<Taken> &taken, const CommandIntake::Reply &reply)
{
    taken->reply = withoutLineEnd(reply.line());
    if (taken->journal != 0) {
        std::optional<FleetJournal::Last> sent;
        if (reply.outcome.isSent() && reply.command)
            sent = FleetJournal::Last{commandWords(*reply.command),
                                      QString::fromLatin1(frameBytes(*reply.frame).toHex(' ')),
                                      QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)};
        m_journal.answered(taken->journal, taken->reply, sent);
    }
    for (const ReplyTo &to : std::as_const(taken->waiting))
        this->reply(to, taken->reply);
    taken->waiting.clear();
}

void FleetBridge::noteAnswered(const PlayerCommand &command, const CommandIntake::Reply &reply,
                               const QJsonObject &levels)
{
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    m_last.answerCommand = commandWords(command);
    m_last.answerReply = QString::fromUtf8(withoutLineEnd(reply.line()));
    m_last.answerTime = now;
    if (!reply.outcome.isSent()) {
        if (!m_answerState.isActive())
            m_answerState.start(answerStateMs);
        return;
    }
    m_last.lastCommand = m_last.answerCommand;
    m_last.lastBytes = QString::fromLatin1(frameBytes(toFrame(command)).toHex(' '));
    m_last.lastTime = now;
    m_last.levels = levels;
    m_answerState.stop();
    publishState();
}

// The player's entities for building automation, on every connection: a
// broker that lost its retained messages gets them again.
void FleetBridge::announce()
{
    // Every configuration of this node the broker keeps comes on this
    // subscription; those not announced now are removed.
    m_client->subscribe({FleetDiscovery::nodeFilter(m_settings.player)}, MqttClient::RetainAsPublished);
    if (!m_settings.discovery)
        return;
    for (const FleetDiscovery::Config &config :
         FleetDiscovery::configs(m_settings.player, QStringLiteral(TUNARIS_VERSION)))
        publish(config.topic, config.payload, true);
}

void FleetBridge::discoveryConfig(const MqttMessage &message)
{
    if (message.size == 0 || m_announced.contains(message.topic))
        return;
    publish(message.topic, QByteArray(), true);
    const QString topic = QString::fromUtf8(message.topic);
    // Told once each; a flood of them is removed without a word.
    if (!m_removedConfigs.contains(topic) && m_removedConfigs.size() < maxRemovalReports) {
        m_removedConfigs << topic;
        m_report(
            QStringLiteral("removed the discovery configuration %1, which this bridge no longer announces").arg(topic));
    }
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
    // Who answered, on a response topic a whole group shares; on a state,
    // that the path kept MQTT 5 properties.
    message.userProperties << qMakePair(QByteArray(FleetTopics::PlayerProperty), m_settings.player.toUtf8());
    // A retained state tells its age by what is left of this.
    if (retain)
        message.expirySeconds = FleetTopics::StateExpirySeconds;
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
    state.host = m_host;
    state.port = m_settings.port;
    state.groups = m_settings.groups;
    state.link = online ? m_link() : QString();
    state.since = online ? m_since : QString();
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
