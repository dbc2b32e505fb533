// tunaris-send: sends player commands to a serial port and exits, for
// schedulers and show-control systems. The frames are the console's own.
#include "command/commandgrammar.h"
#include "link/deviceserver.h"
#include "link/portendpoint.h"
#include "link/portnames.h"
#include "tools/common/serialline.h"
#include "tools/common/toolplumbing.h"
#include "tools/send/sendcommandline.h"
#if defined(TUNARIS_MQTT)
#include "fleet/fleetsender.h"
#endif

#include <QCoreApplication>
#include <QSerialPort>

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

// The owner's answers: which commands went out, and why the first that did
// not stopped the rest.
int reportOwnersAnswers(const SendRequest &request, const QList<SendOutcome> &outcomes)
{
    if (outcomes.size() == request.commands.size() && outcomes.last().isSent())
        return Sent;
    const qsizetype stopped = outcomes.size() - 1;
    const SendOutcome &outcome = outcomes.last();
    const QString command = commandWords(request.commands.at(stopped));
    const bool unknown = outcome.kind == SendOutcome::Kind::Unknown;
    QString reason = outcome.reason;
    if (reason.startsWith(QLatin1String("not sent: ")))
        reason = reason.mid(10);
    report(unknown ? QStringLiteral("%1: the outcome of '%2' is unknown: %3; it may have gone out, so do not "
                                    "send it again without checking the player")
                         .arg(request.port, command, reason)
                   : QStringLiteral("%1: '%2' was not sent: %3").arg(request.port, command, reason));
    QString summary = QStringLiteral("sent: %1").arg(wordsOf(request.commands.mid(0, stopped)));
    if (unknown)
        summary += QStringLiteral("; unknown: %1").arg(command);
    const QList<PlayerCommand> rest = request.commands.mid(unknown ? stopped + 1 : stopped);
    if (!rest.isEmpty())
        summary += QStringLiteral("; not sent: %1").arg(wordsOf(rest));
    report(summary);
    return unknown ? OutcomeUnknown : NotSent;
}

int sendCommands(const SendRequest &request)
{
    // A program that holds the port (the console) sends them for us.
    const EndpointDelivery delivery = sendThroughEndpoint(request.port, request.commands);
    switch (delivery.owner) {
    case EndpointOwner::Found:
        return reportOwnersAnswers(request, delivery.outcomes);
    case EndpointOwner::Refused:
        return fail(delivery.refusal, NotSent);
    case EndpointOwner::None:
        break;
    }

    QByteArray bytes;
    for (const PlayerCommand &command : request.commands)
        bytes += frameBytes(toFrame(command));

    if (isDeviceServerName(request.port)) {
        const SendOutcome outcome = DeviceServerSend::sendNow(request.port, bytes);
        if (outcome.isSent())
            return Sent;
        if (outcome.kind == SendOutcome::Kind::Unknown) {
            return fail(QStringLiteral("%1: outcome unknown: %2; do not send them again without checking")
                            .arg(request.port, outcome.reason),
                        OutcomeUnknown);
        }
        return fail(outcome.reason, NotSent);
    }

    QString error;
    const std::unique_ptr<QIODevice> line = openLine(request.port, request.baudRate, SendOpenMode, &error);
    if (!line)
        return fail(error, NotSent);
    if (!writeAll(static_cast<QSerialPort &>(*line), bytes, &error))
        return fail(QStringLiteral("%1: %2").arg(request.port, error), NotSent);
    return Sent;
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
