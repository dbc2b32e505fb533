#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// --help and --version as every program of ours answers them (the console and
// the three tools): one layout, printed on standard output, exit status 0.
// The manual pages are made from these texts, so they say the same.

struct HelpOption
{
    QString names; // "--port PORT", "-h, --help"
    QString text;  // "the serial port, for example /dev/ttyUSB0"
};

struct HelpSection
{
    QString title; // "Commands", "Exit status"
    QString body;  // its lines, each indented by two spaces, laid out already
};

struct ProgramHelp
{
    QString program;           // "tunaris-send"
    QStringList usages;        // what follows the program's name in each form of use
    QString summary;           // what the program does, one paragraph
    QList<HelpOption> options; // without -h, --help and --version, which every program has
    QList<HelpSection> sections;
};

// "Usage:" and the forms of use, the summary, "Options:" with -h, --help and
// --version last, then the sections; lines wrapped at 79 columns.
QString helpText(const ProgramHelp &help);

// "tunaris-send (Tunaris - Serial Console) 1.0.0" and a line end.
QString versionText(const QString &program);

// The answer to --help, -h or --version among the arguments (without the
// program's name), else nothing: for a program that must answer them before
// anything else is set up.
QString helpOrVersionAnswer(const QStringList &arguments, const ProgramHelp &help);
