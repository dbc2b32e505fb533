// tunaris-bridge: takes commands from show-control systems on the network,
// from the venue's remote on phones and from a fleet's MQTT broker, in
// tunaris-send's words, and delivers them to the player through the port's
// owner: the console when it holds the port, else the bridge itself.
#include "link/commanddelivery.h"
#include "link/commandlistener.h"
#include "tools/bridge/bridgecommandline.h"
#include "tools/common/toolplumbing.h"
#if defined(TUNARIS_MQTT)
#include "fleet/fleetbridge.h"
#endif

#if defined(TUNARIS_WEB_REMOTE)
#include "remote/remotekey.h"
#include "remote/webremote.h"
#endif
#if defined(Q_OS_WIN)
#include "tools/bridge/windowsservice.h"
#endif

#include <QCoreApplication>
#include <QPointer>

#include <memory>

namespace {

enum ExitCode { Ended = 0, Failed = 1, BadArguments = 2 };

#if defined(TUNARIS_WEB_REMOTE)
// The link with its key goes only where the operator reads it, never into a
// log or a service's journal.
void showRemoteLink(const BridgeRequest &request, quint16 port, const QByteArray &key, const QString &keyPath)
{
    if (!printsToTerminal()) {
        report(QStringLiteral("the web remote's link, with its key, is shown on a terminal only; the key is in %1")
                   .arg(keyPath));
        return;
    }
    const QStringList links = remoteLinks(request.webAddress, port, request.allowed, key);
    print(QStringLiteral("The venue's remote: open this link on a phone (it holds the key; give it to the staff "
                         "only):\n"));
    for (const QString &link : links)
        print(QStringLiteral("  %1\n").arg(link));
    if (!links.isEmpty())
        print(terminalQrCode(links.first().toUtf8()));
}
#endif

#if defined(TUNARIS_MQTT)
// The port's link as a fleet's state names it.
QString linkText(CommandDelivery::Link::State link)
{
    using State = CommandDelivery::Link::State;
    switch (link) {
    case State::Open:
        return QStringLiteral("open");
    case State::Owner:
        return QStringLiteral("held by the console");
    case State::Lost:
        return QStringLiteral("lost");
    case State::Waiting:
        break;
    }
    return QStringLiteral("waiting");
}
#endif

} // namespace

// The bridge as the command line asks (main's, or the Windows service's).
static int runBridge(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const BridgeRequest request = parseBridgeArguments(application.arguments().mid(1));
    if (request.action == BridgeRequest::Action::ShowHelp) {
        print(bridgeUsage());
        return Ended;
    }
    if (!request.error.isEmpty())
        return fail(request.error, BadArguments);

    QString error;
    CommandDelivery delivery(request.port, request.baudRate);
    if (!delivery.start(&error))
        return fail(error, Failed);
    // Every command, whoever sent it, is echoed on the remote's pages.
    std::function<void(const PlayerCommand &, const SendOutcome &)> echo;
    const DeliverCommand deliver = [&delivery, &echo](const PlayerCommand &command, DeliveryDone done) {
        delivery.deliver(command, [&echo, command, done = std::move(done)](const SendOutcome &outcome) {
            if (echo)
                echo(command, outcome);
            done(outcome);
        });
    };
    CommandListener listener(deliver, report);
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
        remote = std::make_unique<WebRemote>(key, deliver, report);
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
        echo = [pages](const PlayerCommand &command, const SendOutcome &outcome) {
            if (pages)
                pages->echo(command, outcome);
        };
        const auto showLink = [pages, &delivery] { pages->showLink(delivery.portName(), delivery.link()); };
        QObject::connect(&delivery, &CommandDelivery::linkChanged, pages, showLink);
        showLink();
    }
#endif

    report(QStringLiteral("delivering to the player %1").arg(delivery.route()));
    for (const QString &line : startReport(request, listener.port(), webPort))
        report(line);
#if defined(TUNARIS_WEB_REMOTE)
    if (remote)
        showRemoteLink(request, webPort, key, keyPath);
#endif
#if defined(TUNARIS_MQTT)
    std::unique_ptr<FleetBridge> fleet;
    if (request.broker) {
        fleet = std::make_unique<FleetBridge>(
            FleetBridge::Settings{*request.broker, request.player, request.groups, request.port}, deliver,
            [&delivery] { return linkText(delivery.link().state); }, report);
        QObject::connect(&delivery, &CommandDelivery::linkChanged, fleet.get(), &FleetBridge::publishState);
        if (!fleet->start(&error))
            return fail(error, Failed);
    }
#endif
    catchStopSignals(&application);
    const int status = application.exec();
#if defined(TUNARIS_MQTT)
    // The broker hears that the player went offline, rather than the will.
    if (fleet)
        fleet->stop();
#endif
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
