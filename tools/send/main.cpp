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
