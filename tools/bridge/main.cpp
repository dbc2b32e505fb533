// tunaris-bridge: takes commands from show-control systems on the network,
// in tunaris-send's words, and delivers them to the player through the
// port's owner: the console when it holds the port, else the bridge itself.
#include "link/commanddelivery.h"
#include "link/commandlistener.h"
#include "serialline.h"

#include <QCommandLineParser>
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
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Takes player commands from the network, in tunaris-send's words, and delivers them through the\n"
        "port's owner: the console when it holds the port, else the bridge, which then holds the port.\n"
        "TCP: one command per line (LF, CR LF, CR or NUL ends it), each answered \"ok <bytes>\" or\n"
        "\"error <reason>\". UDP (--udp): one command per datagram, not answered. Only the loopback\n"
        "address is served unless --allow admits networks."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("The player's serial port (/dev/ttyUSB0, COM3) or a serial device "
                                                       "server, tcp://HOST:NUMBER."),
                                        QStringLiteral("PORT"));
    const QCommandLineOption baudOption = baudRateOption();
    const QCommandLineOption listenOption(QStringLiteral("listen"),
                                          QStringLiteral("Listen on this address and port number, 0.0.0.0:4001 or "
                                                         "[::]:4001; nothing listens without it."),
                                          QStringLiteral("ADDRESS:NUMBER"));
    const QCommandLineOption udpOption(QStringLiteral("udp"), QStringLiteral("Take datagrams instead of TCP lines."));
    const QCommandLineOption allowOption(QStringLiteral("allow"),
                                         QStringLiteral("Serve clients from this network, 192.168.1.0/24 or fd00::/8; "
                                                        "may be given again."),
                                         QStringLiteral("NETWORK"));
    parser.addOptions({portOption, baudOption, listenOption, udpOption, allowOption});

    if (!parser.parse(application.arguments()))
        return fail(parser.errorText(), BadArguments);
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return Ended;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()), BadArguments);
    if (!parser.isSet(portOption))
        return fail(QStringLiteral("no port given (--port PORT)"), BadArguments);
    if (!parser.isSet(listenOption))
        return fail(QStringLiteral("no address to listen on (--listen ADDRESS:NUMBER): nothing listens without it"),
                    BadArguments);
    const auto listen = CommandListener::parseListenAddress(parser.value(listenOption));
    if (!listen)
        return fail(QStringLiteral("'%1' is not an address and port number to listen on (0.0.0.0:4001, [::]:4001)")
                        .arg(parser.value(listenOption)),
                    BadArguments);
    QList<CommandListener::Network> allowed;
    for (const QString &text : parser.values(allowOption)) {
        const auto network = CommandListener::parseNetwork(text);
        if (!network)
            return fail(QStringLiteral("'%1' is not a network (192.168.1.0/24, fd00::/8)").arg(text), BadArguments);
        allowed << *network;
    }
    QString error;
    const std::optional<qint32> baudRate = baudRateGiven(parser, &error);
    if (!baudRate)
        return fail(error, BadArguments);

    const QString port = parser.value(portOption);
    CommandDelivery delivery(port, *baudRate);
    if (!delivery.start(&error))
        return fail(error, Failed);
    CommandListener listener(
        [&delivery](const PlayerCommand &command, DeliveryDone done) {
            delivery.deliver(command, std::move(done));
        },
        report);
    listener.allow(allowed);
    const bool udp = parser.isSet(udpOption);
    if (!(udp ? listener.listenUdp(listen->first, listen->second, &error)
              : listener.listenTcp(listen->first, listen->second, &error)))
        return fail(QStringLiteral("cannot listen on %1: %2").arg(parser.value(listenOption), error), Failed);

    report(QStringLiteral("delivering to the player %1").arg(delivery.route()));
    const QString address = listen->first.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(listen->first.toString())
        : listen->first.toString();
    report(QStringLiteral("listening on %1:%2 (%3)").arg(address).arg(listener.port()).arg(udp ? "UDP" : "TCP"));
    if (allowed.isEmpty())
        report(QStringLiteral("serving the loopback address only; --allow NETWORK admits others"));
    quitOnStopSignals(application);
    return application.exec();
}
