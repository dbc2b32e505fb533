// tunaris-send: sends player commands to a serial port and exits, for
// schedulers and show-control systems. The frames are the console's own.
#include "command/commandgrammar.h"
#include "link/commandintake.h"
#include "link/playerlink.h"
#include "tools/common/serialline.h"
#include "tools/common/toolplumbing.h"
#include "tools/send/sendcommandline.h"
#if defined(TUNARIS_MQTT)
#include "fleet/fleetsender.h"
#endif

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>

namespace {

// Also in the --help text (sendcommandline.cpp).
enum ExitCode { Sent = 0, NotSent = 1, BadArguments = 2, OutcomeUnknown = 3 };

QString wordsOf(const QList<PlayerCommand> &commands)
{
    QStringList words;
    for (const PlayerCommand &command : commands)
        words << commandWords(command);
    return words.isEmpty() ? QStringLiteral("nothing") : words.join(QLatin1String(", "));
}

// Which commands went out, and why the first that did not stopped the rest.
int reportOutcomes(const SendRequest &request, const QList<SendOutcome> &outcomes)
{
    const auto stopped =
        std::find_if(outcomes.begin(), outcomes.end(), [](const SendOutcome &outcome) { return !outcome.isSent(); });
    if (stopped == outcomes.end())
        return Sent;
    const QString command = commandWords(request.commands.at(stopped - outcomes.begin()));
    QString reason = stopped->reason;
    if (reason.startsWith(QLatin1String("not sent: ")))
        reason = reason.mid(10);
    const bool unknown = stopped->kind == SendOutcome::Kind::Unknown;
    report(unknown ? QStringLiteral("%1: the outcome of '%2' is unknown: %3; it may have gone out, so do not "
                                    "send it again without checking the player")
                         .arg(request.port, command, reason)
                   : QStringLiteral("%1: '%2' was not sent: %3").arg(request.port, command, reason));
    if (request.commands.size() > 1) {
        QList<PlayerCommand> byKind[3];
        for (qsizetype i = 0; i < outcomes.size(); ++i)
            byKind[int(outcomes.at(i).kind)] << request.commands.at(i);
        QString summary = QStringLiteral("sent: %1").arg(wordsOf(byKind[int(SendOutcome::Kind::Sent)]));
        if (!byKind[int(SendOutcome::Kind::Unknown)].isEmpty())
            summary += QStringLiteral("; unknown: %1").arg(wordsOf(byKind[int(SendOutcome::Kind::Unknown)]));
        if (!byKind[int(SendOutcome::Kind::NotSent)].isEmpty())
            summary += QStringLiteral("; not sent: %1").arg(wordsOf(byKind[int(SendOutcome::Kind::NotSent)]));
        report(summary);
    }
    const bool anyUnknown = std::any_of(outcomes.begin(), outcomes.end(), [](const SendOutcome &outcome) {
        return outcome.kind == SendOutcome::Kind::Unknown;
    });
    return anyUnknown ? OutcomeUnknown : NotSent;
}

// The commands go the way every program of ours takes to the player
// (playerlink.h): through the program that holds the port, to the device
// server, or on the port itself; in order, and none after the first that
// did not go out.
int sendCommands(const SendRequest &request)
{
    PlayerLink::Options options;
    options.baudRate = request.baudRate;
    // Every command goes to the port's owner in one write, so that the owner
    // has them all when one of them does not go out.
    options.ownerWindow = int(request.commands.size());
    options.reopenByItself = false;
    PlayerLink link(request.port, options);
    QString error;
    if (!link.open(&error))
        return fail(error, NotSent);
    CommandIntake intake(&link);
    const auto client = CommandIntake::client({QStringLiteral("command line"), QString(), QString()});
    QList<SendOutcome> outcomes(request.commands.size());
    qsizetype answers = 0;
    QEventLoop answered;
    for (qsizetype i = 0; i < request.commands.size(); ++i) {
        intake.take(client, request.commands.at(i), [&, i](const CommandIntake::Reply &reply) {
            outcomes[i] = reply.outcome;
            if (++answers == request.commands.size())
                answered.quit();
        });
    }
    if (answers < request.commands.size())
        answered.exec();
    link.drain();
    link.close();
    return reportOutcomes(request, outcomes);
}

#if defined(TUNARIS_MQTT)
// Through a broker: each command goes to the player or the group, and the
// next only once every player addressed said ok. Each reply is shown as
// "shop-12: ok 20 ff ff ff", in the order of the players' names.
int sendThroughBroker(const SendRequest &request)
{
    FleetSender sender(*request.broker);
    QString error;
    if (!sender.connectToBroker(&error)) {
        report(QStringLiteral("%1; nothing sent").arg(error));
        return NotSent;
    }
    if (request.action == SendRequest::Action::ListPlayers) {
        const auto players = sender.players(&error);
        if (!players) {
            report(error);
            return NotSent;
        }
        for (auto player = players->cbegin(); player != players->cend(); ++player)
            print(listingLine(player.key(), player.value()) + QLatin1Char('\n'));
        sender.stop();
        return Sent;
    }
    QStringList expected = {request.player};
    QStringList offline;
    QByteArray topic = FleetTopics::playerCommand(request.player);
    if (!request.group.isEmpty()) {
        // The members are those whose state names the group, online or not.
        const auto players = sender.players(&error);
        if (!players) {
            report(QStringLiteral("%1; nothing sent").arg(error));
            return NotSent;
        }
        expected.clear();
        for (auto player = players->cbegin(); player != players->cend(); ++player) {
            if (player.value() && player.value()->groups.contains(request.group)) {
                expected << player.key();
                if (!player.value()->online)
                    offline << player.key();
            }
        }
        if (expected.isEmpty()) {
            report(QStringLiteral("no player of group %1 is known to the broker (no state "
                                  "names it); nothing sent")
                       .arg(request.group));
            return NotSent;
        }
        topic = FleetTopics::groupCommand(request.group);
    }
    for (qsizetype i = 0; i < request.commands.size(); ++i) {
        const PlayerCommand &command = request.commands.at(i);
        const QString words = commandWords(command);
        const FleetSender::Delivery delivery = sender.send(command, topic, expected);
        QStringList failed;
        bool unknown = false;
        if (!delivery.refusal.isEmpty()) {
            failed << delivery.refusal;
        } else {
            QStringList players = expected;
            for (auto reply = delivery.replies.cbegin(); reply != delivery.replies.cend(); ++reply) {
                if (!players.contains(reply.key()))
                    players << reply.key();
            }
            players.sort();
            for (const QString &player : std::as_const(players)) {
                const QByteArray reply = delivery.replies.value(player);
                const SendOutcome outcome =
                    reply.isEmpty() ? SendOutcome::unknown(delivery.silence) : outcomeOfReply(reply, toFrame(command));
                QString shown =
                    reply.isEmpty() ? QStringLiteral("%1%2").arg(
                        delivery.silence, offline.contains(player) ? QStringLiteral(" (offline)") : QString())
                                    : QString::fromUtf8(reply);
                print(QStringLiteral("%1: %2\n").arg(player, shown));
                if (!outcome.isSent()) {
                    failed << QStringLiteral("%1 (%2)").arg(player,
                                                            reply.isEmpty() ? QStringLiteral("no answer") : shown);
                    unknown = unknown || outcome.kind == SendOutcome::Kind::Unknown;
                }
            }
        }
        if (failed.isEmpty())
            continue;
        report((delivery.refusal.isEmpty() ? QStringLiteral("'%1' was not sent to every player: %2")
                                           : QStringLiteral("'%1' was not sent: %2"))
                   .arg(words, failed.join(QLatin1String(", "))));
        if (unknown) {
            report(QStringLiteral("an outcome is unknown; the command expired %1 s after it "
                                  "was published, so it cannot play later. Check the player before sending "
                                  "it again")
                       .arg(FleetSender::RequestExpirySeconds));
        }
        if (i + 1 < request.commands.size())
            report(QStringLiteral("not published: %1").arg(wordsOf(request.commands.mid(i + 1))));
        sender.stop();
        return unknown ? OutcomeUnknown : NotSent;
    }
    sender.stop();
    return Sent;
}
#endif

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const SendRequest request = parseSendArguments(application.arguments().mid(1));
    if (!request.error.isEmpty())
        return fail(QStringLiteral("%1\nTry 'tunaris-send --help' for the commands.").arg(request.error), BadArguments);
    switch (request.action) {
    case SendRequest::Action::ShowHelp:
        print(sendUsage());
        return Sent;
    case SendRequest::Action::ShowVersion:
        print(sendVersion());
        return Sent;
    case SendRequest::Action::ListPorts:
        for (const QString &line : portListing())
            print(line + QLatin1Char('\n'));
        return Sent;
    case SendRequest::Action::ListPlayers:
    case SendRequest::Action::Send:
        break;
    }
#if defined(TUNARIS_MQTT)
    if (request.broker)
        return sendThroughBroker(request);
#endif
    return sendCommands(request);
}
