#pragma once

#include "command/playercommand.h"

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QList>
#include <QString>

#include <functional>

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

// A message that is one command as a whole (a datagram, a broker's message),
// with or without a line end: exactly one command, or why not. `unit` names
// the message in the refusal: "one command per datagram".
CommandLineResult parseCommandMessage(const QByteArray &message, const QString &unit);

// What became of one command handed on towards the player; every path that
// answers another program keeps these meanings. Sent: every byte of its
// frame was handed to the system for the port (for a device server: taken
// by the server's TCP stack and the connection shut down cleanly). NotSent:
// it never will be. Unknown: it cannot be told, because whoever took it went
// silent or away before saying; a caller must not send it again unasked.
struct SendOutcome
{
    enum class Kind { Sent, NotSent, Unknown };

    Kind kind = Kind::NotSent;
    QString reason; // NotSent and Unknown: why, in words

    static SendOutcome sent() { return {Kind::Sent, QString()}; }
    static SendOutcome notSent(const QString &reason) { return {Kind::NotSent, reason}; }
    static SendOutcome unknown(const QString &reason) { return {Kind::Unknown, reason}; }
    bool isSent() const { return kind == Kind::Sent; }
};

// The reply line for a command's outcome: "ok 03 01 2c ff", "error <reason>"
// (not sent) or "unknown <reason>".
QByteArray okReply(const CommandFrame &frame);
QByteArray errorReply(const QString &reason);
QByteArray replyLine(const CommandFrame &frame, const SendOutcome &outcome);
// What a reply line says of the command whose frame is `frame`: an "ok"
// with other bytes, or any other line, leaves the outcome unknown.
SendOutcome outcomeOfReply(const QByteArray &reply, const CommandFrame &frame);

// How long a command may still go out, judged at the moment it would go on
// the line: whatever held it before (a queue, a socket's buffer, a frozen
// process) counts against it. Two clocks, each optional: this machine's
// steady clock from the moment the command was read, and the wall clock
// (UTC) for a time its sender's clock set. A command past either is never
// sent: "error not sent: expired (<why>) before the line could take it".
struct CommandLife
{
    QDeadlineTimer deadline{QDeadlineTimer::Forever};
    QDateTime notAfter; // UTC; invalid: no such bound
    QString why;        // how long it was good for, in words: "its message expiry, 10 s"

    bool expired() const;
    QString expiredReason() const;
};

// Sends a command on towards the player and calls `done` once with its
// outcome; commands are taken in the order they are given.
using DeliveryDone = std::function<void(const SendOutcome &)>;
using DeliverCommand = std::function<void(const PlayerCommand &, DeliveryDone done)>;
