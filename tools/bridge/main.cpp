// tunaris-bridge: takes commands from show-control systems on the network,
// from the venue's remote on phones and from a fleet's MQTT broker, in
// tunaris-send's words, and delivers them to the player through the port's
// owner: the console when it holds the port, else the bridge itself.
#include "command/knownmixer.h"
#include "link/commandintake.h"
#include "link/commandlistener.h"
#include "link/playerlink.h"
#include "link/throttledreport.h"
#include "tools/bridge/bridgecommandline.h"
#include "tools/common/toolplumbing.h"
#if defined(TUNARIS_MQTT)
#include "fleet/fleetbridge.h"
#endif

#if defined(TUNARIS_WEB_REMOTE)
#include "remote/remotekey.h"
#include "remote/webremote.h"
#endif
#if defined(TUNARIS_OFFICE)
#include "office/officeserver.h"

#include <QFileInfo>
#endif
#if defined(Q_OS_WIN)
#include "tools/bridge/windowsservice.h"
#endif

#include <QCoreApplication>
#include <QPointer>

#include <memory>

namespace {

enum ExitCode { Ended = 0, Failed = 1, BadArguments = 2 };

constexpr int journalBurst = 20;
constexpr int journalIntervalMs = 100;

#if defined(TUNARIS_WEB_REMOTE)
// The link with its key goes only where the operator reads it, never into a
// log or a service's journal. `page` names it in reports, "the web remote";
// `invitation` says what to do with it.
void showLink(const QString &page, const QString &invitation, const QHostAddress &address, quint16 port,
              const QList<CommandListener::Network> &allowed, const QByteArray &key, const QString &keyPath)
{
    if (!printsToTerminal()) {
        report(QStringLiteral("%1's link, with its key, is shown on a terminal only; the key is in %2")
                   .arg(page, keyPath));
        return;
    }
    const QStringList links = remoteLinks(address, port, allowed, key);
    print(invitation + QLatin1Char('\n'));
    for (const QString &link : links)
        print(QStringLiteral("  %1\n").arg(link));
    if (!links.isEmpty())
        print(terminalQrCode(links.first().toUtf8()));
}
#endif

#if defined(TUNARIS_OFFICE)
// The office's page, in place of a player's bridge: no port and no player;
// the broker's players, and commands to them.
int runOffice(QCoreApplication &application, const BridgeRequest &request)
{
    QString error;
    const QString keyPath = officeKeyPath();
    const QByteArray key = loadOrMakeRemoteKey(keyPath, &error);
    if (key.isEmpty())
        return fail(error, Failed);
    // Whoever holds a venue's link must not be let into the office.
    const QString venuePath = remoteKeyPath();
    if (QFileInfo::exists(venuePath)) {
        QString ignored;
        if (isRemoteKey(loadOrMakeRemoteKey(venuePath, &ignored), key)) {
            return fail(QStringLiteral("%1 holds the venue remote's key (%2): the office's page has a key of its "
                                       "own; remove %1 and a new one is made at the next start")
                            .arg(keyPath, venuePath),
                        Failed);
        }
    }
    OfficeServer office(*request.broker, key, report);
    office.allow(request.allowed);
    if (!office.start(request.officeAddress, request.officePort, &error)) {
        return fail(QStringLiteral("cannot serve the office's page on %1:%2: %3")
                        .arg(addressText(request.officeAddress))
                        .arg(request.officePort)
                        .arg(error),
                    Failed);
    }
    for (const QString &line : startReport(request, 0, office.port()))
        report(line);
    showLink(QStringLiteral("the office's page"),
             QStringLiteral("The office's page: open this link in the office's browsers (it holds the key; give it "
                            "to the office's staff only):"),
             request.officeAddress, office.port(), request.allowed, key, keyPath);
    catchStopSignals(&application);
    const int status = application.exec();
    report(QStringLiteral("stopping: leaving %1").arg(request.broker->address()));
    office.stop();
    return status;
}
#endif

// The journal's line for a command taken: where it came from, what it was,
// what became of it. "tcp 192.168.1.7:50122: play: ok 20 ff ff ff"
QString journalLine(const CommandOrigin &origin, const QByteArray &text, const CommandIntake::Reply &reply)
{
    QString words = QString::fromLatin1(text.left(MaxCommandLineLength));
    for (QChar &character : words) {
        if (!character.isPrint())
            character = QLatin1Char('?');
    }
    return QStringLiteral("%1: %2: %3").arg(origin.text(), words, QString::fromUtf8(reply.line().trimmed()));
}

} // namespace

// The bridge as the command line asks (main's, or the Windows service's).
static int runBridge(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const BridgeRequest request = parseBridgeArguments(application.arguments().mid(1));
    if (request.action != BridgeRequest::Action::Serve) {
        print(request.action == BridgeRequest::Action::ShowHelp ? bridgeUsage() : bridgeVersion());
        return Ended;
    }
    if (!request.error.isEmpty())
        return fail(request.error, BadArguments);
#if defined(TUNARIS_OFFICE)
    if (request.office)
        return runOffice(application, request);
#endif

    // Every command, whoever sent it, is echoed on the remote's pages; what
    // went out is what is known of the player's volume. Both outlive the
    // delivery, whose last outcomes may come as it goes.
    KnownMixer mixer;
    std::function<void(const PlayerCommand &, const SendOutcome &)> echo;
    // What became of each command, for the retained state.
    std::function<void(const PlayerCommand &, const CommandIntake::Reply &)> tellFleet;
    ThrottledReport journal(report, journalBurst, journalIntervalMs);
    QString error;
    PlayerLink link(request.port, PlayerLink::Options{request.baudRate});
    CommandIntake intake(&link);
    link.serveEndpoint(&intake);
    if (!link.open(&error))
        return fail(error, Failed);
    // Every command taken, from whichever door, leaves a line in the log,
    // held to a rate that a flood cannot turn into a flood of lines: a show's
    // burst of cues is told line by line, a flood as a count. What went out is
    // what is known of the player's volume, and every page echoes it.
    QObject::connect(&intake, &CommandIntake::handled, &intake,
                     [&](const CommandOrigin &origin, const QByteArray &text, const CommandIntake::Reply &reply) {
                         journal(journalLine(origin, text, reply));
                         if (!reply.command)
                             return;
                         if (reply.outcome.isSent())
                             mixer.apply(*reply.command);
                         if (tellFleet)
                             tellFleet(*reply.command, reply);
                         if (echo)
                             echo(*reply.command, reply.outcome);
                     });
    CommandListener listener(&intake, report);
    listener.allow(request.allowed);
    if (request.listens) {
        const QString address = addressText(request.listenAddress);
        if (!(request.udp ? listener.listenUdp(request.listenAddress, request.listenPort, &error)
                          : listener.listenTcp(request.listenAddress, request.listenPort, &error)))
            return fail(QStringLiteral("cannot listen on %1:%2: %3").arg(address).arg(request.listenPort).arg(error),
                        Failed);
    }
    quint16 webPort = 0;
#if defined(TUNARIS_WEB_REMOTE)
    std::unique_ptr<WebRemote> remote;
    QByteArray key;
    const QString keyPath = remoteKeyPath();
    if (request.web) {
        key = loadOrMakeRemoteKey(keyPath, &error);
        if (key.isEmpty())
            return fail(error, Failed);
        remote = std::make_unique<WebRemote>(key, &intake, report);
        remote->allow(request.allowed);
        if (!remote->listen(request.webAddress, request.webPort, &error)) {
            return fail(QStringLiteral("cannot serve the web remote on %1:%2: %3")
                            .arg(addressText(request.webAddress))
                            .arg(request.webPort)
                            .arg(error),
                        Failed);
        }
        webPort = remote->port();
        const QPointer<WebRemote> pages = remote.get();
        echo = [pages, &mixer](const PlayerCommand &command, const SendOutcome &outcome) {
            if (pages) {
                pages->echo(command, outcome);
                pages->showMixer(mixer.toJson());
            }
        };
        const auto showLink = [pages, &link] { pages->showLink(link.portName(), link.state()); };
        QObject::connect(&link, &PlayerLink::stateChanged, pages, showLink);
        showLink();
    }
#endif

    report(QStringLiteral("delivering to the player %1").arg(link.route()));
    for (const QString &line : startReport(request, listener.port(), webPort))
        report(line);
#if defined(TUNARIS_WEB_REMOTE)
    if (remote) {
        showLink(QStringLiteral("the web remote"),
                 QStringLiteral("The venue's remote: open this link on a phone (it holds the key; give it to the "
                                "staff only):"),
                 request.webAddress, webPort, request.allowed, key, keyPath);
    }
#endif
#if defined(TUNARIS_MQTT)
    std::unique_ptr<FleetBridge> fleet;
    if (request.broker) {
        fleet = std::make_unique<FleetBridge>(
            FleetBridge::Settings{*request.broker, request.player, request.groups, request.port, request.discovery},
            &intake, [&link] { return link.state().word(); }, report);
        QObject::connect(&link, &PlayerLink::stateChanged, fleet.get(), &FleetBridge::publishState);
        QObject::connect(fleet.get(), &FleetBridge::refused, &application, [] { QCoreApplication::exit(Failed); });
        tellFleet = [fleet = fleet.get(), &mixer](const PlayerCommand &command, const CommandIntake::Reply &reply) {
            fleet->noteAnswered(command, reply, mixer.toJson());
        };
        if (!fleet->start(&error))
            return fail(error, Failed);
    }
#endif
    catchStopSignals(&application);
    const int status = application.exec();
    report(QStringLiteral("stopping: letting go of %1").arg(request.port));
#if defined(TUNARIS_MQTT)
    // The broker hears that the player went offline, rather than the will.
    if (fleet)
        fleet->stop();
#endif
    // While every door and the intake are there to hear the last answers.
    link.close();
    tellFleet = nullptr;
    return status;
}

int main(int argc, char **argv)
{
#if defined(Q_OS_WIN)
    // Started by the service control manager: the settings file gives the arguments.
    if (isServiceStart(argc, argv))
        return runAsService(runBridge);
#endif
    return runBridge(argc, argv);
}
