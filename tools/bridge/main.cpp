// tunaris-bridge: takes commands from show-control systems on the network,
// and from a fleet's MQTT broker, in tunaris-send's words, and delivers them
// to the player through the port's owner: the console when it holds the
// port, else the bridge itself.
#include "bridgecommandline.h"
#include "link/commanddelivery.h"
#include "link/commandlistener.h"
#if defined(TUNARIS_MQTT)
#include "fleet/fleetbridge.h"
#endif

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <memory>

#if defined(Q_OS_UNIX)
#include <QSocketNotifier>
#include <unistd.h>
#endif

namespace {

enum ExitCode { Ended = 0, Failed = 1, BadArguments = 2 };

void report(const QString &text)
{
    std::fputs(QStringLiteral("tunaris-bridge: %1\n").arg(text).toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

int fail(const QString &text, int exitCode)
{
    report(text);
    return exitCode;
}

#if defined(Q_OS_UNIX)
int stopPipe[2] = {-1, -1};
void requestStop(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
}
#endif

// SIGTERM (systemd) and Ctrl+C end the event loop, so that the endpoint and
// the port are given back in order.
void quitOnStopSignals([[maybe_unused]] QCoreApplication &application)
{
#if defined(Q_OS_UNIX)
    if (::pipe(stopPipe) != 0)
        return;
    auto *stop = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, &application);
    QObject::connect(stop, &QSocketNotifier::activated, &application, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#else
    const auto quit = [](int) { QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection); };
    std::signal(SIGINT, quit);
    std::signal(SIGTERM, quit);
#endif
}

#if defined(TUNARIS_MQTT)
// The port's link as a fleet's state names it.
QString linkText(CommandDelivery::Link link)
{
    switch (link) {
    case CommandDelivery::Link::Open:
        return QStringLiteral("open");
    case CommandDelivery::Link::ThroughOwner:
        return QStringLiteral("held by the console");
    case CommandDelivery::Link::Lost:
        return QStringLiteral("lost");
    case CommandDelivery::Link::Waiting:
        break;
    }
    return QStringLiteral("waiting");
}
#endif

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const BridgeRequest request = parseBridgeArguments(application.arguments().mid(1));
    if (request.action == BridgeRequest::Action::ShowHelp) {
        std::fputs(bridgeUsage().toLocal8Bit().constData(), stdout);
        return Ended;
    }
    if (!request.error.isEmpty())
        return fail(request.error, BadArguments);

    QString error;
    CommandDelivery delivery(request.port, request.baudRate);
    if (!delivery.start(&error))
        return fail(error, Failed);
    // The network's lines and the broker's messages take the same way.
    const DeliverCommand deliver = [&delivery](const PlayerCommand &command, DeliveryDone done) {
        delivery.deliver(command, std::move(done));
    };
    CommandListener listener(deliver, report);
    listener.allow(request.allowed);
    const QString address = addressText(request.listenAddress);
    if (request.listens
        && !(request.udp ? listener.listenUdp(request.listenAddress, request.listenPort, &error)
                         : listener.listenTcp(request.listenAddress, request.listenPort, &error)))
        return fail(QStringLiteral("cannot listen on %1:%2: %3").arg(address).arg(request.listenPort).arg(error), Failed);

    report(QStringLiteral("delivering to the player %1").arg(delivery.route()));
    if (request.listens) {
        for (const QString &line : startReport(request, listener.port()))
            report(line);
    }
#if defined(TUNARIS_MQTT)
    std::unique_ptr<FleetBridge> fleet;
    if (request.broker) {
        fleet = std::make_unique<FleetBridge>(
            FleetBridge::Settings{*request.broker, request.player, request.groups, request.port}, deliver,
            [&delivery] { return linkText(delivery.link()); }, report);
        QObject::connect(&delivery, &CommandDelivery::linkChanged, fleet.get(), &FleetBridge::publishState);
        if (!fleet->start(&error))
            return fail(error, Failed);
    }
#endif
    quitOnStopSignals(application);
    const int status = application.exec();
#if defined(TUNARIS_MQTT)
    // The broker hears that the player went offline, rather than the will.
    if (fleet)
        fleet->stop();
#endif
    return status;
}
