#include "tools/send/brokerrun.h"
#include "command/commandgrammar.h"
#include "command/commandline.h"
#include "fleet/fleetsender.h"
#include "fleet/fleetwatch.h"
#include "fleet/statereader.h"
#include "tools/common/toolplumbing.h"
#include "tools/send/playertable.h"

#include <QCoreApplication>

#include <algorithm>

namespace {

QString wordsOf(const QList<PlayerCommand> &commands)
{
    QStringList words;
    for (const PlayerCommand &command : commands)
        words << commandWords(command);
    return words.join(QLatin1String(", "));
}

} // namespace

BrokerRun::BrokerRun(const SendRequest &request, QObject *parent)
    : QObject(parent)
    , m_request(request)
    , m_sender(std::make_unique<FleetSender>(*request.broker))
{
    connect(m_sender.get(), &FleetSender::ready, this, &BrokerRun::ready);
    connect(m_sender.get(), &FleetSender::unavailable, this, &BrokerRun::unavailable);
    connect(m_sender.get(), &FleetSender::answered, this, &BrokerRun::answered);
    connect(m_sender.get(), &FleetSender::finished, this, &BrokerRun::finished);
    if (request.watch) {
        m_watch = std::make_unique<FleetWatch>(m_sender.get());
        m_table = std::make_unique<PlayerTable>(request.broker->address());
        connect(m_watch.get(), &FleetWatch::listed, this, [this] {
            m_started = true;
            m_connectTimeout.stop();
            m_table->show(m_watch->players(), m_watch->overflowed());
        });
        connect(m_watch.get(), &FleetWatch::changed, this,
                [this](const QString &player) { m_table->change(player, m_watch->players().value(player)); });
        connect(m_watch.get(), &FleetWatch::removed, this, [this](const QString &player) { m_table->remove(player); });
        connect(m_watch.get(), &FleetWatch::failed, this, &BrokerRun::unavailable);
        connect(m_table.get(), &PlayerTable::quitAsked, this, [this] { end(ExitSent); });
    }
    m_connectTimeout.setSingleShot(true);
    connect(&m_connectTimeout, &QTimer::timeout, this, [this] {
        unavailable(QStringLiteral("the broker did not answer within %1 s").arg(ConnectWithinMs / 1000));
    });
}

BrokerRun::~BrokerRun() = default;

void BrokerRun::start()
{
    QString error;
    if (!m_sender->start(&error)) {
        report(QStringLiteral("%1; nothing sent").arg(error));
        return end(ExitNotSent);
    }
    m_connectTimeout.start(ConnectWithinMs);
}

void BrokerRun::ready()
{
    if (m_watch)
        return; // it reads the states itself, at each connection
    m_connectTimeout.stop();
    m_started = true;
    const bool listing = m_request.action == SendRequest::Action::ListPlayers;
    auto *reader = new StateReader(m_sender->client(),
                                   !listing && m_request.group.isEmpty() ? FleetTopics::playerState(m_request.player)
                                                                         : FleetTopics::everyState(),
                                   this);
    connect(reader, &StateReader::finished, this, &BrokerRun::listed);
    connect(reader, &StateReader::failed, this, [this, listing](const QString &reason) {
        report(listing ? reason : QStringLiteral("%1; nothing sent").arg(reason));
        end(ExitNotSent);
    });
    reader->start();
}

// Before anything went out, a broker that cannot be used ends the run; a
// listing that is watched waits for it to come back.
void BrokerRun::unavailable(const QString &reason)
{
    if (m_ended)
        return;
    if (m_watch && m_started)
        return m_table->status(QStringLiteral("%1; trying again").arg(reason));
    if (m_started && m_send != 0)
        return; // the sender answers what was under way: "unknown"
    report(m_request.action == SendRequest::Action::ListPlayers ? reason
                                                                : QStringLiteral("%1; nothing sent").arg(reason));
    end(ExitNotSent);
}

void BrokerRun::listed(const QMap<QString, SeenState> &states)
{
    if (m_request.action == SendRequest::Action::ListPlayers) {
        for (auto player = states.cbegin(); player != states.cend(); ++player)
            print(listingLine(player.key(), player.value()) + QLatin1Char('\n'));
        return end(ExitSent);
    }
    QString error;
    const QList<Addressee> addressed = addressees(states, m_request.player, m_request.group, &error);
    if (addressed.isEmpty()) {
        report(QStringLiteral("%1; nothing sent").arg(error));
        return end(ExitNotSent);
    }
    // Those answered at once get no command of the run; the others each
    // command in turn, the next once every one of them said ok.
    for (const Addressee &addressee : addressed) {
        if (addressee.answer.isEmpty())
            m_sendTo << addressee.player;
        else
            m_atOnce.insert(addressee.player, addressee.answer);
    }
    next();
}

void BrokerRun::next()
{
    if (m_command == m_request.commands.size()) {
        if (m_atOnce.isEmpty())
            return end(ExitSent);
        QStringList notSent;
        QStringList players = m_atOnce.keys();
        players.sort();
        for (const QString &player : std::as_const(players))
            notSent << QStringLiteral("%1 (%2)").arg(player, QString::fromUtf8(m_atOnce.value(player)));
        report(QStringLiteral("not sent to %1").arg(notSent.join(QLatin1String(", "))));
        return end(ExitNotSent);
    }
    m_replies.clear();
    if (m_sendTo.isEmpty())
        return finished(0);
    m_send = m_sender->send(m_request.commands.at(m_command), m_sendTo);
}

void BrokerRun::answered(quint64 send, const QString &player, const QByteArray &reply)
{
    if (!m_ended && send == m_send)
        m_replies.insert(player, reply);
}

void BrokerRun::finished(quint64 send)
{
    if (m_ended || send != m_send)
        return;
    const PlayerCommand &command = m_request.commands.at(m_command);
    QStringList shown = m_sendTo + m_atOnce.keys();
    shown.sort();
    QStringList failed;
    bool unknown = false;
    for (const QString &player : std::as_const(shown)) {
        const bool sentTo = m_sendTo.contains(player);
        const QByteArray reply = sentTo ? m_replies.value(player) : m_atOnce.value(player);
        print(QStringLiteral("%1: %2\n").arg(player, QString::fromUtf8(reply)));
        if (!sentTo)
            continue;
        const SendOutcome outcome = outcomeOfReply(reply, toFrame(command));
        if (!outcome.isSent()) {
            failed << QStringLiteral("%1 (%2)").arg(player, QString::fromUtf8(reply));
            unknown = unknown || outcome.kind == SendOutcome::Kind::Unknown;
        }
    }
    ++m_command;
    if (failed.isEmpty())
        return next();
    report(QStringLiteral("'%1' was not sent to every player: %2")
               .arg(commandWords(command), failed.join(QLatin1String(", "))));
    if (unknown) {
        report(QStringLiteral("an outcome is unknown; the command expired %1 s after it was made (by the "
                              "players' clocks, which must agree with this one), so it cannot play later. "
                              "Check the player before sending it again")
                   .arg(FleetSender::RequestExpirySeconds));
    }
    if (m_command < m_request.commands.size())
        report(QStringLiteral("not published: %1").arg(wordsOf(m_request.commands.mid(m_command))));
    end(unknown ? ExitOutcomeUnknown : ExitNotSent);
}

void BrokerRun::end(int status)
{
    if (m_ended)
        return;
    m_ended = true;
    m_connectTimeout.stop();
    m_table.reset(); // gives the terminal back first
    m_sender->stop();
    // Once the event loop runs, even when it ends before it started.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
}
