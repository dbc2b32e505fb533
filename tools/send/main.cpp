// tunaris-send: sends player commands to a serial port and exits, for
// schedulers and show-control systems. The frames are the console's own.
#include "command/commandgrammar.h"
#include "link/commandintake.h"
#include "link/playerlink.h"
#include "tools/common/serialline.h"
#include "tools/common/toolplumbing.h"
#include "tools/send/sendcommandline.h"
#if defined(TUNARIS_MQTT)
#include "tools/send/brokerrun.h"
#endif

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>

namespace {

enum ExitCode {
    Sent = ExitSent,
    NotSent = ExitNotSent,
    BadArguments = ExitBadArguments,
    OutcomeUnknown = ExitOutcomeUnknown
};

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
    if (request.broker) {
        // Ctrl+C ends a watched listing, giving the terminal back; a run of
        // commands it stops as before, with no exit status that claims more.
        if (request.watch)
            catchStopSignals(&application);
        BrokerRun run(request);
        run.start();
        return application.exec();
    }
#endif
    return sendCommands(request);
}
