#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QProcess;

// What a run of one of the command-line tools left behind.
struct ToolRun
{
    bool finished = false; // false: it crashed or never ended
    int exitCode = -1;
    QByteArray output;
    QByteArray errors;
};

// Runs a built program to its end, with `input` as its standard input, while
// the test's event loop goes on.
ToolRun runTool(const QString &program, const QStringList &arguments, const QByteArray &input = QByteArray());

// The program, copied where any user can run it: the build tree may lie in a
// folder other users cannot enter (a clone in root's home, mode 0700). Each
// program is copied once per test run; the copies go when the test ends.
QString reachableByAnyUser(const QString &program);

// The start of a command line that runs the rest as a job of cron runs: no
// session (no XDG_RUNTIME_DIR), and in a mount namespace of its own where
// `runUser` stands for /run/user, so the machine's /run/user is neither used
// nor touched.
QStringList asSchedulerJob(const QString &runUser);

// Starts tunaris-bridge and waits until it says where it listens, reading its
// reports from standard error; the number of the port it listens on, 0 when
// it ended first or did not say in time.
quint16 startBridge(QProcess &bridge, const QString &program, const QStringList &arguments);

// Sends `signal` to the program the test started, and to nothing else: one
// that has ended has no number, and kill(0, ...) would reach every process
// of the test run's group, other tests' programs among them.
bool signalProcess(const QProcess &process, int signal);
