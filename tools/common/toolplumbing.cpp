#include "tools/common/toolplumbing.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <mutex>

#if defined(Q_OS_UNIX)
#include <QSocketNotifier>
#include <unistd.h>
#endif
#if defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

std::mutex sinkMutex;
std::function<void(const QString &)> reportSink;

// The text on the stream, as Unicode when the stream is a Windows console.
void put(const QString &text, std::FILE *stream)
{
#if defined(Q_OS_WIN)
    HANDLE console = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode)) {
        // The QR code's colours are terminal sequences; older consoles show
        // the blocks without them.
        SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        DWORD written = 0;
        WriteConsoleW(console, text.utf16(), DWORD(text.size()), &written, nullptr);
        return;
    }
#endif
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

} // namespace

void setReportSink(std::function<void(const QString &line)> sink)
{
    const std::lock_guard<std::mutex> lock(sinkMutex);
    reportSink = std::move(sink);
}

void report(const QString &text)
{
    const QString line = QStringLiteral("%1: %2").arg(QCoreApplication::applicationName(), text);
    {
        const std::lock_guard<std::mutex> lock(sinkMutex);
        if (reportSink)
            return reportSink(line);
    }
    put(line + QLatin1Char('\n'), stderr);
}

int fail(const QString &text, int exitCode)
{
    report(text);
    return exitCode;
}

void print(const QString &text)
{
    put(text, stdout);
}

bool printsToTerminal()
{
#if defined(Q_OS_UNIX)
    return ::isatty(STDOUT_FILENO) == 1;
#elif defined(Q_OS_WIN)
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode);
#else
    return false;
#endif
}

QList<HelpOption> helpOptions(const QList<QCommandLineOption> &options)
{
    QList<HelpOption> listed;
    for (const QCommandLineOption &option : options) {
        const QString value = option.valueName().isEmpty() ? QString() : QLatin1Char(' ') + option.valueName();
        listed << HelpOption{QStringLiteral("--") + option.names().constLast() + value, option.description()};
    }
    return listed;
}

QString repeatedOption(const QCommandLineParser &parser, const QStringList &singleOptions)
{
    const QStringList given = parser.optionNames();
    for (const QString &name : singleOptions) {
        if (given.count(name) > 1)
            return QStringLiteral("--%1 given more than once").arg(name);
    }
    return {};
}

namespace {

volatile std::sig_atomic_t stopFlag = 0;
#if defined(Q_OS_UNIX)
// Written by the handler, read by the event loop: the only safe way from a
// signal into Qt.
int stopPipe[2] = {-1, -1};
#endif

void requestStop(int)
{
    stopFlag = 1;
#if defined(Q_OS_UNIX)
    if (stopPipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
    }
#else
    if (QCoreApplication *application = QCoreApplication::instance())
        QMetaObject::invokeMethod(application, &QCoreApplication::quit, Qt::QueuedConnection);
#endif
}

} // namespace

void catchStopSignals(QCoreApplication *quitApplication)
{
#if defined(Q_OS_UNIX)
    if (quitApplication && ::pipe(stopPipe) == 0) {
        auto *stop = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, quitApplication);
        QObject::connect(stop, &QSocketNotifier::activated, quitApplication, &QCoreApplication::quit);
    }
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked read has to return to see the request
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#else
    Q_UNUSED(quitApplication)
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
#endif
}

bool stopRequested()
{
    return stopFlag != 0;
}
