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
// Through a broker: each command goes to each player addressed on its own
// topic, and the next only once every one said ok. A player whose state shows
// it offline, or that the path to it cannot serve, is answered at once and
// sent nothing. Each reply is shown as "shop-12: ok 20 ff ff ff", in the
// order of the players' names.
int sendThroughBroker(const SendRequest &request)
{
    FleetSender sender(*request.broker);
    QString error;
    if (!sender.connectToBroker(&error)) {
        report(QStringLiteral("%1; nothing sent").arg(error));
        return NotSent;
    }
    const bool listing = request.action == SendRequest::Action::ListPlayers;
    const auto states = sender.players(&error, request.group.isEmpty() && !listing ? request.player : QString());
    if (!states) {
        report(listing ? error : QStringLiteral("%1; nothing sent").arg(error));
        return NotSent;
    }
    if (listing) {
        for (auto player = states->cbegin(); player != states->cend(); ++player)
            print(listingLine(player.key(), player.value()) + QLatin1Char('\n'));
        sender.stop();
        return Sent;
    }
    const QList<Addressee> addressed = addressees(*states, request.player, request.group, &error);
    if (addressed.isEmpty()) {
        report(QStringLiteral("%1; nothing sent").arg(error));
        return NotSent;
    }
    // Those answered at once get no command of the run; the others each
    // command in turn, the next once every one of them said ok.
    QStringList sendTo;
    QStringList answeredAtOnce;
    for (const Addressee &addressee : addressed) {
        if (addressee.answer.isEmpty())
            sendTo << addressee.player;
        else
            answeredAtOnce << QStringLiteral("%1 (%2)").arg(addressee.player, QString::fromUtf8(addressee.answer));
    }
    for (qsizetype i = 0; i < request.commands.size(); ++i) {
        const PlayerCommand &command = request.commands.at(i);
        const QString words = commandWords(command);
        FleetSender::Delivery delivery;
        if (!sendTo.isEmpty())
            delivery = sender.send(command, sendTo);
        QStringList failed;
        bool unknown = false;
        if (!delivery.refusal.isEmpty()) {
            failed << delivery.refusal;
        } else {
            QStringList players = sendTo;
            for (auto reply = delivery.replies.cbegin(); reply != delivery.replies.cend(); ++reply) {
                if (!players.contains(reply.key()))
                    players << reply.key();
            }
            for (const Addressee &addressee : addressed) {
                if (!addressee.answer.isEmpty())
                    delivery.replies.insert(addressee.player, addressee.answer);
            }
            QStringList shownPlayers = players;
            for (const Addressee &addressee : addressed)
                shownPlayers << addressee.player;
            shownPlayers.removeDuplicates();
            shownPlayers.sort();
            for (const QString &player : std::as_const(shownPlayers)) {
                const QByteArray reply = delivery.replies.value(player);
                const QString shown = reply.isEmpty() ? delivery.silence : QString::fromUtf8(reply);
                print(QStringLiteral("%1: %2\n").arg(player, shown));
                if (!players.contains(player))
                    continue;
                const SendOutcome outcome =
                    reply.isEmpty() ? SendOutcome::unknown(delivery.silence) : outcomeOfReply(reply, toFrame(command));
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
            report(QStringLiteral("an outcome is unknown; the command expired %1 s after it was made (by the "
                                  "players' clocks, which must agree with this one), so it cannot play later. "
                                  "Check the player before sending it again")
                       .arg(FleetSender::RequestExpirySeconds));
        }
        if (i + 1 < request.commands.size())
            report(QStringLiteral("not published: %1").arg(wordsOf(request.commands.mid(i + 1))));
        sender.stop();
        return unknown ? OutcomeUnknown : NotSent;
    }
    sender.stop();
    if (answeredAtOnce.isEmpty())
        return Sent;
    report(QStringLiteral("not sent to %1").arg(answeredAtOnce.join(QLatin1String(", "))));
    return NotSent;
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
