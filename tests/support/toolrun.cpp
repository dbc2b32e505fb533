#include "tests/support/toolrun.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#if !defined(Q_OS_WIN)
#include <csignal>
#endif

namespace {

// Only a hang guard: a run normally ends within milliseconds.
constexpr int hangGuardMs = 30000;

} // namespace

ToolRun runTool(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(program, arguments);
    ToolRun run;
    if (!process.waitForStarted(hangGuardMs))
        return run;
    process.write(input);
    process.closeWriteChannel();
    // The event loop runs meanwhile: the program may be talking to a window
    // of the test's own.
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(hangGuardMs, &loop, &QEventLoop::quit);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    run.finished = process.exitStatus() == QProcess::NormalExit;
    run.exitCode = process.exitCode();
    run.output = process.readAllStandardOutput();
    run.errors = process.readAllStandardError();
    return run;
}

QString reachableByAnyUser(const QString &program)
{
    static QTemporaryDir folder;
    static QHash<QString, QString> copies;
    if (const auto known = copies.constFind(program); known != copies.cend())
        return *known;
    const QString copy = folder.filePath(QFileInfo(program).fileName());
    // The folder is private when made; opened to all, only for reading.
    if (!folder.isValid()
        || !QFile::setPermissions(folder.path(), QFile::permissions(folder.path()) | QFile::ReadGroup | QFile::ExeGroup
                                                     | QFile::ReadOther | QFile::ExeOther)
        || !QFile::copy(program, copy))
        return program; // the test then fails as before, naming the program
    copies.insert(program, copy);
    return copy;
}

QStringList asSchedulerJob(const QString &runUser)
{
    const QString bindRunUser = QStringLiteral("mount --bind \"$1\" /run/user && shift && exec \"$@\"");
    return {"unshare", "--mount", "--", "sh", "-c", bindRunUser, "sh", runUser, "env", "-u", "XDG_RUNTIME_DIR"};
}

quint16 startBridge(QProcess &bridge, const QString &program, const QStringList &arguments)
{
    bridge.setReadChannel(QProcess::StandardError);
    bridge.start(program, arguments);
    static const QRegularExpression listening(QStringLiteral("(?:listening|web remote) on .*:(\\d+) \\("));
    QRegularExpressionMatch found;
    const bool said = QTest::qWaitFor(
        [&] {
            found = listening.match(QString::fromUtf8(bridge.peek(bridge.bytesAvailable())));
            return found.hasMatch() || bridge.state() == QProcess::NotRunning;
        },
        10000);
    return said && found.hasMatch() ? quint16(found.captured(1).toUInt()) : 0;
}

bool signalProcess(const QProcess &process, int signal)
{
#if defined(Q_OS_WIN)
    Q_UNUSED(process)
    Q_UNUSED(signal)
    return false;
#else
    const qint64 pid = process.processId();
    return pid > 0 && ::kill(pid_t(pid), signal) == 0;
#endif
}
