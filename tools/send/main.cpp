// tunaris-send: sends player commands to a serial port and exits, for
// schedulers and show-control systems. The frames are the console's own.
#include "link/deviceserver.h"
#include "link/portendpoint.h"
#include "link/portnames.h"
#include "sendcommandline.h"
#include "serialline.h"

#include <QCoreApplication>
#include <QSerialPort>

#include <cstdio>

namespace {

enum ExitCode { Sent = 0, PortFailed = 1, BadArguments = 2, OutcomeUnknown = 3 };

void printTo(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

int sendCommands(const SendRequest &request)
{
    // A program that holds the port (the console) sends them for us.
    const EndpointDelivery delivery = sendThroughEndpoint(request.port, request.commands);
    if (delivery.ownerFound) {
        if (delivery.allSent)
            return Sent;
        printTo(stderr, QStringLiteral("tunaris-send: %1: %2\n").arg(request.port, delivery.error));
        return PortFailed;
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
        return unknown ? OutcomeUnknown : PortFailed;
    }

    QString error;
    const std::unique_ptr<QIODevice> line = openLine(request.port, request.baudRate, SendOpenMode, &error);
    if (!line) {
        printTo(stderr, QStringLiteral("tunaris-send: %1\n").arg(error));
        return PortFailed;
    }
    if (!writeAll(static_cast<QSerialPort &>(*line), bytes, &error)) {
        printTo(stderr, QStringLiteral("tunaris-send: %1: %2\n").arg(request.port, error));
        return PortFailed;
    }
    return Sent;
}

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
    case SendRequest::Action::Send:
        break;
    }
    return sendCommands(request);
}
