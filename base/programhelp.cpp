#include "base/programhelp.h"

#include "base/version.h"

#include <algorithm>

namespace {

constexpr int lineWidth = 79;
// The options' texts start in this column unless an option's names reach it.
constexpr int textColumn = 24;

// The words of `text` in lines of at most `lineWidth`, the first starting in
// column `first`, the others indented to `indent`.
QString wrapped(const QString &text, int first, int indent)
{
    QString out;
    int column = first;
    bool lineStarted = false;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (lineStarted && column + 1 + word.size() > lineWidth) {
            out += QLatin1Char('\n') + QString(indent, QLatin1Char(' '));
            column = indent;
            lineStarted = false;
        }
        if (lineStarted) {
            out += QLatin1Char(' ');
            ++column;
        }
        out += word;
        column += int(word.size());
        lineStarted = true;
    }
    return out;
}

} // namespace

QString helpText(const ProgramHelp &help)
{
    QString text;
    for (qsizetype i = 0; i < help.usages.size(); ++i) {
        text += (i == 0 ? QStringLiteral("Usage: ") : QStringLiteral("  or:  ")) + help.program + QLatin1Char(' ')
                + help.usages.at(i) + QLatin1Char('\n');
    }
    text += wrapped(help.summary, 0, 0) + QStringLiteral("\n\nOptions:\n");
    const QList<HelpOption> options =
        help.options
        + QList<HelpOption>{{QStringLiteral("-h, --help"), QStringLiteral("show this help and exit")},
                            {QStringLiteral("--version"), QStringLiteral("show the version and exit")}};
    for (const HelpOption &option : options) {
        QString line = QStringLiteral("  ") + option.names;
        if (line.size() + 2 > textColumn)
            line += QLatin1Char('\n') + QString(textColumn, QLatin1Char(' '));
        else
            line = line.leftJustified(textColumn);
        text += line + wrapped(option.text, textColumn, textColumn) + QLatin1Char('\n');
    }
    for (const HelpSection &section : help.sections)
        text += QLatin1Char('\n') + section.title + QStringLiteral(":\n") + section.body;
    return text;
}

QString versionText(const QString &program)
{
    return QStringLiteral("%1 (Tunaris - Serial Console) %2\n").arg(program, QStringLiteral(TUNARIS_VERSION));
}

QString helpOrVersionAnswer(const QStringList &arguments, const ProgramHelp &help)
{
    if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h")))
        return helpText(help);
    if (arguments.contains(QLatin1String("--version")))
        return versionText(help.program);
    return {};
}
