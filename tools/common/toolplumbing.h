#pragma once

#include "base/programhelp.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QCoreApplication;
class QCommandLineOption;
class QCommandLineParser;

// What every tool prints and how it ends, written once.

// "<tool>: <text>" on standard error, at once (a service's journal and a
// script's log see it in order). The tool is the executable's name.
void report(const QString &text);
// Where reports go instead, for a program with no standard error (a
// Windows service): the sink gets each "<tool>: <text>" line, from the
// thread that reported it. An empty sink: standard error again.
void setReportSink(std::function<void(const QString &line)> sink);
// Reports the text and returns the exit status, for `return fail(...)`.
int fail(const QString &text, int exitCode);
// The text as it is on standard output, at once (someone may be watching
// through a pipe). A Windows console gets it as Unicode, so that what is
// not in the system's code page (a QR code's blocks) shows as it is.
void print(const QString &text);
// Whether standard output is a terminal (a console window on Windows), where
// someone reads it as it comes.
bool printsToTerminal();

// A parser's options as the help lists them: "--port PORT" and its text.
QList<HelpOption> helpOptions(const QList<QCommandLineOption> &options);

// "--port given more than once" for the first of `singleOptions` given more
// than once, else empty: a second value would otherwise quietly win.
QString repeatedOption(const QCommandLineParser &parser, const QStringList &singleOptions);

// Ctrl+C and SIGTERM (systemd) ask the tool to stop rather than kill it, so
// what it holds is given back in order and nothing half done is lost. With
// an application, its event loop ends; without, stopRequested() turns true
// and a blocked read returns (no SA_RESTART), for a tool that loops itself.
void catchStopSignals(QCoreApplication *quitApplication = nullptr);
bool stopRequested();
