#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

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
