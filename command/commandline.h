#pragma once

#include "command/playercommand.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Commands as lines of text, the way other programs hand them to the owner
// of the port: one command per line in the words of the grammar, answered
// by one line each, "ok 03 01 2c ff" or "error <reason>". The bytes come
// from other programs and are taken as hostile: every line is bounded and
// checked before anything is sent.

constexpr int MaxCommandLineLength = 256;

// Splits a byte stream into lines. LF, CR LF, CR and NUL all end a line;
// empty lines are skipped. A line that grows past the limit is refused at
// once, and its rest, up to the next line end, is dropped unread.
class CommandLineReader
{
public:
    struct Line
    {
        QByteArray text;
        QString error; // set when the line is refused as it stands
    };

    QList<Line> feed(const QByteArray &bytes);
    // The input ended: a last line without its end counts too.
    QList<Line> finish();

private:
    QByteArray m_pending;
    bool m_dropping = false;
};

struct CommandLineResult
{
    std::optional<PlayerCommand> command;
    QString error;
};

// Exactly one command in the line, or why not.
CommandLineResult parseCommandLine(const QByteArray &line);

QByteArray okReply(const CommandFrame &frame);
QByteArray errorReply(const QString &reason);
