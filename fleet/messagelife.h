#pragma once

#include "command/commandline.h"

#include <QByteArray>
#include <QDateTime>

#include <optional>

// How long a command that came through a broker may still go on the line,
// counted from its creation rather than from its arrival: a publish held up
// in the network, or a bridge frozen with the message in its socket, must not
// make it young again.
//
// What a message says of its age, each optional:
// - its MQTT 5 message expiry, as much of it as the broker left when it
//   handed the message over (the broker counts down while it keeps it);
// - the user property "expires", the UTC time after which its sender wants
//   it never played: the one bound that holds whatever held the message up;
// - the user property "created", the UTC time its sender made it.
// The life ends at the earliest of: the arrival plus what is left of the
// message expiry (else plus DefaultLifeSeconds), "expires", and, for a
// message without an expiry, "created" plus DefaultLifeSeconds. A message
// expiry says nothing of how long the command was meant to live, so with one
// "created" bounds nothing: a sender that wants the bound sets "expires".
namespace MessageLife {

inline constexpr int DefaultLifeSeconds = 30;
// A command dated further ahead of this machine's clock is refused: the
// sender's clock and ours disagree, and its life cannot be judged.
inline constexpr int ClockToleranceSeconds = 5;

struct Times
{
    std::optional<quint32> expirySeconds; // what the broker left of it
    QByteArray created;                   // as the message gave them; empty: none
    QByteArray expires;
};

struct Result
{
    std::optional<CommandLife> life;
    QString refusal; // why the command is refused at once, in words
};

// `now` is this machine's UTC time at the message's arrival; the steady
// deadline counts from the call.
Result judge(const Times &times, const QDateTime &now);

// "2025-05-01T12:00:00.250Z": the form "created" and "expires" take.
QByteArray utcText(const QDateTime &time);

} // namespace MessageLife
