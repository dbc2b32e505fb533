// tunaris-send: sends player commands to a serial port and exits, for
// schedulers and show-control systems. The frames are the console's own.
#include "command/commandgrammar.h"
#include "link/deviceserver.h"
#include "link/portendpoint.h"
#include "link/portnames.h"
#include "sendcommandline.h"
#include "serialline.h"
#if defined(TUNARIS_MQTT)
#include "fleet/fleetsender.h"
#endif

#include <QCoreApplication>
#include <QSerialPort>

#include <cstdio>

namespace {

// Also in the --help text (sendcommandline.cpp).
enum ExitCode { Sent = 0, NotSent = 1, BadArguments = 2, OutcomeUnknown = 3 };

void printTo(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

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
    printTo(stderr, unknown ? QStringLiteral("tunaris-send: %1: the outcome of '%2' is unknown: %3; it may have "
                                             "gone out, so do not send it again without checking the player\n")
                                  .arg(request.port, command, reason)
                            : QStringLiteral("tunaris-send: %1: '%2' was not sent: %3\n").arg(request.port, command, reason));
    QString summary = QStringLiteral("tunaris-send: sent: %1").arg(wordsOf(request.commands.mid(0, stopped)));
    if (unknown)
        summary += QStringLiteral("; unknown: %1").arg(command);
    const QList<PlayerCommand> rest = request.commands.mid(unknown ? stopped + 1 : stopped);
    if (!rest.isEmpty())
        summary += QStringLiteral("; not sent: %1").arg(wordsOf(rest));
    printTo(stderr, summary + QLatin1Char('\n'));
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
        printTo(stderr, QStringLiteral("tunaris-send: %1\n").arg(delivery.refusal));
        return NotSent;
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
        const bool unknown = outcome.kind == SendOutcome::Kind::Unknown;
        printTo(stderr, unknown ? QStringLiteral("tunaris-send: %1: outcome unknown: %2; do not send them again "
                                                 "without checking\n")
                                      .arg(request.port, outcome.reason)
                                : QStringLiteral("tunaris-send: %1\n").arg(outcome.reason));
        return unknown ? OutcomeUnknown : NotSent;
    }

    QString error;
    const std::unique_ptr<QIODevice> line = openLine(request.port, request.baudRate, SendOpenMode, &error);
    if (!line) {
        printTo(stderr, QStringLiteral("tunaris-send: %1\n").arg(error));
        return NotSent;
    }
    if (!writeAll(static_cast<QSerialPort &>(*line), bytes, &error)) {
        printTo(stderr, QStringLiteral("tunaris-send: %1: %2\n").arg(request.port, error));
        return NotSent;
    }
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
        printTo(stderr, QStringLiteral("tunaris-send: %1; nothing sent\n").arg(error));
        return NotSent;
    }
    if (request.action == SendRequest::Action::ListPlayers) {
        const auto players = sender.players(&error);
        if (!players) {
            printTo(stderr, QStringLiteral("tunaris-send: %1\n").arg(error));
            return NotSent;
        }
        for (auto player = players->cbegin(); player != players->cend(); ++player)
            printTo(stdout, listingLine(player.key(), player.value()) + QLatin1Char('\n'));
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
            printTo(stderr, QStringLiteral("tunaris-send: %1; nothing sent\n").arg(error));
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
            printTo(stderr, QStringLiteral("tunaris-send: no player of group %1 is known to the broker (no state "
                                           "names it); nothing sent\n")
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
                const SendOutcome outcome = reply.isEmpty() ? SendOutcome::unknown(delivery.silence)
                                                            : outcomeOfReply(reply, toFrame(command));
                QString shown = reply.isEmpty() ? QStringLiteral("%1%2").arg(
                                                      delivery.silence, offline.contains(player) ? QStringLiteral(" (offline)") : QString())
                                                : QString::fromUtf8(reply);
                printTo(stdout, QStringLiteral("%1: %2\n").arg(player, shown));
                if (!outcome.isSent()) {
                    failed << QStringLiteral("%1 (%2)").arg(player, reply.isEmpty() ? QStringLiteral("no answer") : shown);
                    unknown = unknown || outcome.kind == SendOutcome::Kind::Unknown;
                }
            }
        }
        if (failed.isEmpty())
            continue;
        printTo(stderr, (delivery.refusal.isEmpty() ? QStringLiteral("tunaris-send: '%1' was not sent to every player: %2\n")
                                                    : QStringLiteral("tunaris-send: '%1' was not sent: %2\n"))
                            .arg(words, failed.join(QLatin1String(", "))));
        if (unknown) {
            printTo(stderr, QStringLiteral("tunaris-send: an outcome is unknown; the command expired %1 s after it "
                                           "was published, so it cannot play later. Check the player before sending "
                                           "it again\n")
                                .arg(FleetSender::RequestExpirySeconds));
        }
        if (i + 1 < request.commands.size())
            printTo(stderr, QStringLiteral("tunaris-send: not published: %1\n").arg(wordsOf(request.commands.mid(i + 1))));
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
    if (!request.error.isEmpty()) {
        printTo(stderr, QStringLiteral("tunaris-send: %1\nTry 'tunaris-send --help' for the commands.\n")
                            .arg(request.error));
        return BadArguments;
    }
    switch (request.action) {
    case SendRequest::Action::ShowHelp:
        printTo(stdout, sendUsage());
        return Sent;
    case SendRequest::Action::ListPorts:
        for (const QString &line : portListing())
            printTo(stdout, line + QLatin1Char('\n'));
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
