// tunaris-bridge: takes commands from show-control systems on the network,
// in tunaris-send's words, and delivers them to the player through the
// port's owner: the console when it holds the port, else the bridge itself.
#include "tools/bridge/bridgecommandline.h"
#include "tools/common/toolplumbing.h"
#include "link/commanddelivery.h"
#include "link/commandlistener.h"

#include <QCoreApplication>

namespace {

enum ExitCode { Ended = 0, Failed = 1, BadArguments = 2 };

} // namespace

int main(int argc, char **argv)
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
    CommandListener listener(
        [&delivery](const PlayerCommand &command, DeliveryDone done) {
            delivery.deliver(command, std::move(done));
        },
        report);
    listener.allow(request.allowed);
    const QString address = addressText(request.listenAddress);
    if (!(request.udp ? listener.listenUdp(request.listenAddress, request.listenPort, &error)
                      : listener.listenTcp(request.listenAddress, request.listenPort, &error)))
        return fail(QStringLiteral("cannot listen on %1:%2: %3").arg(address).arg(request.listenPort).arg(error), Failed);

    report(QStringLiteral("delivering to the player %1").arg(delivery.route()));
    for (const QString &line : startReport(request, listener.port()))
        report(line);
    catchStopSignals(&application);
    return application.exec();
}
