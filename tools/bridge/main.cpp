// tunaris-bridge: takes commands from show-control systems on the network,
// in tunaris-send's words, and delivers them to the player through the
// port's owner: the console when it holds the port, else the bridge itself.
#include "tools/bridge/bridgecommandline.h"
#include "link/commanddelivery.h"
#include "link/commandlistener.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

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
    quitOnStopSignals(application);
    return application.exec();
}
