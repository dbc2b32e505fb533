// tunaris-monitor: shows the command frames that arrive on a serial port, or
// in a capture on standard input, one line each, so that a player's wiring
// or firmware can be checked without the player.
#include "base/programhelp.h"
#include "tools/common/serialline.h"
#include "tools/common/toolplumbing.h"
#include "tools/monitor/monitorline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(Q_OS_WIN)
#include <fcntl.h>
#include <io.h>
#else
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

enum ExitCode { Ended = 0, InputFailed = 1, BadArguments = 2 };

// How often a port without traffic looks whether Ctrl+C was pressed.
constexpr int stopPollIntervalMs = 100;

// Feeds the bytes to the scanner and prints what they completed, stamped
// with the time they arrived.
class FramePrinter
{
public:
    void take(const QByteArray &bytes) { show(m_scanner.feed(bytes)); }
    void finish() { show(m_scanner.finish()); }

private:
    static void show(const QList<ScannedItem> &items)
    {
        const QTime arrival = QTime::currentTime();
        QString lines;
        for (const ScannedItem &item : items)
            lines += monitorLine(arrival, item) + QLatin1Char('\n');
        print(lines);
    }

    FrameScanner m_scanner;
};

int monitorPort(const QString &name, qint32 baudRate)
{
    QString error;
    const std::unique_ptr<QIODevice> line = openLine(name, baudRate, QIODevice::ReadOnly, &error);
    if (!line)
        return fail(error, InputFailed);
    FramePrinter printer;
    while (!stopRequested()) {
        bool ready = false;
        if (!waitForBytes(*line, stopPollIntervalMs, &ready, &error)) {
            printer.take(line->readAll());
            printer.finish();
            return fail(QStringLiteral("%1: %2").arg(name, error), InputFailed);
        }
        if (ready)
            printer.take(line->readAll());
    }
    printer.take(line->readAll());
    printer.finish();
    return Ended;
}

// Reads a capture or a pseudo-terminal until its end or Ctrl+C.
int monitorDescriptor(int descriptor, const QString &what)
{
#if defined(Q_OS_WIN)
    _setmode(descriptor, _O_BINARY); // the capture is bytes, not text
    const auto readInput = [descriptor](char *buffer, unsigned size) { return _read(descriptor, buffer, size); };
#else
    const auto readInput = [descriptor](char *buffer, size_t size) { return ::read(descriptor, buffer, size); };
#endif
    FramePrinter printer;
    char buffer[4096];
    while (!stopRequested()) {
        const auto got = readInput(buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got > 0) {
            printer.take(QByteArray(buffer, int(got)));
        } else if (errno != EINTR) {
            const int readError = errno;
            printer.finish();
            return fail(QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(readError))),
                        InputFailed);
        }
    }
    printer.finish();
    return Ended;
}

// A virtual player: a pseudo-terminal pair of the monitor's own, whose far end
// the console opens as its serial port. The monitor holds that end open too,
// so the console can close and reopen it as often as it likes.
int monitorPseudoTerminal()
{
#if defined(Q_OS_UNIX)
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return fail(
            QStringLiteral("cannot make a pseudo-terminal: %1").arg(QString::fromLocal8Bit(std::strerror(errno))),
            InputFailed);
    // Raw, so that every byte arrives as it was sent.
    termios settings{};
    if (::tcgetattr(slave, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::tcsetattr(slave, TCSANOW, &settings);
    }
    const QString path = QString::fromLocal8Bit(::ttyname(slave));
    print(QStringLiteral("Connect the console to %1\n").arg(path));
    return monitorDescriptor(master, path);
#else
    return fail(QStringLiteral("--pty needs a system with pseudo-terminals; use a virtual serial port pair"),
                BadArguments);
#endif
}

ProgramHelp monitorHelp(const QList<QCommandLineOption> &options)
{
    ProgramHelp help;
    help.program = QStringLiteral("tunaris-monitor");
    help.usages = QStringList{QStringLiteral("--port PORT [--baud RATE]"), QStringLiteral("--pty"),
                              QStringLiteral("[-] < CAPTURE")};
    help.summary = QStringLiteral("Prints every command frame that arrives on a serial port, or in a capture on "
                                  "standard input, as one line: the time, the four bytes and the command. Ctrl+C "
                                  "ends it.");
    help.options = helpOptions(options);
    help.sections = {
        {QStringLiteral("Examples"), QStringLiteral("  tunaris-monitor --port /dev/ttyUSB0 --baud 9600\n"
                                                    "  tunaris-monitor --pty\n"
                                                    "  tunaris-monitor < capture.bin\n")},
        {QStringLiteral("Exit status"), QStringLiteral("  0  the input ended, or Ctrl+C or SIGTERM stopped it\n"
                                                       "  1  the port or the input could not be read\n"
                                                       "  2  the arguments are wrong\n")}};
    return help;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("read from this serial port, for example /dev/ttyUSB0 or COM3, "
                                                       "or from a serial device server, tcp://HOST:NUMBER"),
                                        QStringLiteral("PORT"));
    const QCommandLineOption baudOption = baudRateOption();
    const QCommandLineOption ptyOption(QStringLiteral("pty"),
                                       QStringLiteral("be a virtual player: make a pseudo-terminal, print the path to "
                                                      "connect the console to, and show what arrives"));
    parser.addOptions({portOption, baudOption, ptyOption});
    if (const QString answer =
            helpOrVersionAnswer(application.arguments().mid(1), monitorHelp({portOption, baudOption, ptyOption}));
        !answer.isEmpty()) {
        print(answer);
        return Ended;
    }
    if (!parser.parse(application.arguments()))
        return fail(parser.errorText(), BadArguments);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1 || (positional.size() == 1 && positional.first() != QLatin1String("-")))
        return fail(QStringLiteral("unexpected argument '%1'").arg(positional.last()), BadArguments);
    const int sources = int(!positional.isEmpty()) + int(parser.isSet(portOption)) + int(parser.isSet(ptyOption));
    if (sources > 1)
        return fail(QStringLiteral("read one of a port, a pseudo-terminal or standard input"), BadArguments);
    if (parser.isSet(baudOption) && !parser.isSet(portOption))
        return fail(QStringLiteral("--baud needs --port"), BadArguments);
    const QString repeated = repeatedOption(parser, {portOption.names().first(), baudOption.names().first()});
    if (!repeated.isEmpty())
        return fail(repeated, BadArguments);
    if (parser.isSet(portOption)) {
        const QString portError = portArgumentError(parser.value(portOption));
        if (!portError.isEmpty())
            return fail(portError, BadArguments);
    }

    QString error;
    const std::optional<qint32> baudRate = baudRateGiven(parser, &error);
    if (!baudRate)
        return fail(error, BadArguments);

    catchStopSignals();
    if (parser.isSet(ptyOption))
        return monitorPseudoTerminal();
    if (parser.isSet(portOption))
        return monitorPort(parser.value(portOption), *baudRate);
    return monitorDescriptor(0, QStringLiteral("standard input"));
}
