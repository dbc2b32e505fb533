#include "toolrun.h"

#include <QProcess>

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
    if (!process.waitForFinished(hangGuardMs)) {
        process.kill();
        process.waitForFinished();
    }
    run.finished = process.exitStatus() == QProcess::NormalExit;
    run.exitCode = process.exitCode();
    run.output = process.readAllStandardOutput();
    run.errors = process.readAllStandardError();
    return run;
}
