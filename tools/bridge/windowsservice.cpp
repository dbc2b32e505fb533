#include "tools/bridge/windowsservice.h"
#include "tools/bridge/servicesettings.h"
#include "tools/common/toolplumbing.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

wchar_t serviceName[] = L"tunaris-bridge";
constexpr qint64 maxLogBytes = 1024 * 1024;
constexpr int settingsRefused = 2; // as bad arguments are

// Between main's thread, which runs the bridge, and the threads of the
// service control manager's calls.
struct ServiceState
{
    std::mutex mutex;
    std::condition_variable changed;
    SERVICE_STATUS_HANDLE handle = nullptr;
    bool registered = false;
    bool dispatcherEnded = false;
    DWORD dispatcherError = 0;
    bool bridgeEnded = false;
    int exitCode = 0;
    bool applicationAlive = false;
    bool stopAsked = false;
};
ServiceState state;

void tellState(DWORD current, int exitCode = 0)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = current;
    status.dwControlsAccepted = current == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    // Not 0: a failure, which the service's recovery answers with a restart.
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = DWORD(exitCode);
    status.dwWaitHint = current == SERVICE_STOP_PENDING ? 20000 : 0;
    SetServiceStatus(state.handle, &status);
}

// Asks the bridge to end as Ctrl+C does, once its event loop runs.
void quitWhenRunning()
{
    if (state.stopAsked && state.applicationAlive)
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

DWORD WINAPI control(DWORD code, DWORD, void *, void *)
{
    if (code != SERVICE_CONTROL_STOP && code != SERVICE_CONTROL_SHUTDOWN)
        return code == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.bridgeEnded)
        tellState(SERVICE_STOP_PENDING);
    state.stopAsked = true;
    quitWhenRunning();
    return NO_ERROR;
}

// The application's birth and end, told by Qt on main's thread.
void applicationStarted()
{
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.applicationAlive = true;
    quitWhenRunning();
}

void applicationEnding()
{
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.applicationAlive = false;
}

// On a thread of the dispatcher's: running until the bridge has ended.
void WINAPI serviceMain(DWORD, wchar_t **)
{
    std::unique_lock<std::mutex> lock(state.mutex);
    state.handle = RegisterServiceCtrlHandlerExW(serviceName, control, nullptr);
    if (!state.handle)
        return;
    tellState(SERVICE_RUNNING);
    state.registered = true;
    state.changed.notify_all();
    state.changed.wait(lock, [] { return state.bridgeEnded; });
    tellState(SERVICE_STOPPED, state.exitCode);
}

// The service's reports, each line with its time, in a file kept to a size:
// the lines before are in a second file.
class ServiceLog
{
public:
    explicit ServiceLog(const QString &path)
        : m_path(path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
    }

    void write(const QString &line)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (QFileInfo(m_path).size() > maxLogBytes) {
            QFile::remove(m_path + QLatin1String(".1"));
            QFile::rename(m_path, m_path + QLatin1String(".1"));
        }
        QFile file(m_path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
            file.write((stamp + QLatin1Char(' ') + line + QLatin1String("\r\n")).toUtf8());
        }
    }

private:
    std::mutex m_mutex;
    QString m_path;
};

QString thisProgram()
{
    std::vector<wchar_t> path(MAX_PATH);
    DWORD length = 0;
    while ((length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()))) == path.size())
        path.resize(path.size() * 2);
    return QDir::fromNativeSeparators(QString::fromWCharArray(path.data(), int(length)));
}

// The arguments from the settings file, or why there are none.
QStringList settingsArguments(QString *error)
{
    const QString path = serviceSettingsPath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error =
            QStringLiteral("cannot read the settings %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return {};
    }
    QString why;
    const QStringList arguments = serviceArguments(file.read(64 * 1024 + 1), &why);
    if (arguments.isEmpty())
        *error = QStringLiteral("%1, %2").arg(QDir::toNativeSeparators(path), why);
    return arguments;
}

} // namespace

bool isServiceStart(int argc, char **argv)
{
    return argc == 2 && std::strcmp(argv[1], "--service") == 0;
}

QString serviceSettingsPath()
{
    return QDir::cleanPath(QFileInfo(thisProgram()).absolutePath() + QLatin1String("/../tunaris-bridge.cfg"));
}

QString serviceLogFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1String("/tunaris-bridge");
}

int runAsService(const std::function<int(int argc, char **argv)> &bridge)
{
    ServiceLog log(serviceLogFolder() + QLatin1String("/tunaris-bridge.log"));
    const auto note = [&log](const QString &text) { log.write(QStringLiteral("tunaris-bridge: ") + text); };
    std::thread dispatcher([] {
        SERVICE_TABLE_ENTRYW table[] = {{serviceName, serviceMain}, {nullptr, nullptr}};
        const bool connected = StartServiceCtrlDispatcherW(table);
        const std::lock_guard<std::mutex> lock(state.mutex);
        state.dispatcherError = connected ? 0 : GetLastError();
        state.dispatcherEnded = true;
        state.changed.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(state.mutex);
        state.changed.wait(lock, [] { return state.registered || state.dispatcherEnded; });
        if (!state.registered) {
            lock.unlock();
            dispatcher.join();
            std::fprintf(stderr,
                         "tunaris-bridge: --service is how Windows starts the bridge as the tunaris-bridge service, "
                         "not a command: %s\n",
                         qt_error_string(int(state.dispatcherError)).toLocal8Bit().constData());
            return settingsRefused;
        }
    }

    QString error;
    const QStringList arguments = settingsArguments(&error);
    int status = settingsRefused;
    if (arguments.isEmpty()) {
        note(error);
    } else {
        note(QStringLiteral("started as the tunaris-bridge service, with the settings in %1")
                 .arg(QDir::toNativeSeparators(serviceSettingsPath())));
        setReportSink([&log](const QString &line) { log.write(line); });
        qAddPreRoutine(applicationStarted);
        qAddPostRoutine(applicationEnding);
        std::vector<QByteArray> words{QFile::encodeName(QDir::toNativeSeparators(thisProgram()))};
        for (const QString &argument : arguments)
            words.push_back(argument.toLocal8Bit());
        std::vector<char *> argv;
        for (QByteArray &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        status = bridge(int(words.size()), argv.data());
        setReportSink(nullptr);
        note(QStringLiteral("ended with exit status %1").arg(status));
    }
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        state.bridgeEnded = true;
        state.exitCode = status;
        state.changed.notify_all();
    }
    dispatcher.join();
    return status;
}
