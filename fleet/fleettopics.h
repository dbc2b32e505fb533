#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// The topics a fleet is run through, and the retained state each bridge
// keeps on the broker. Dashboards and schedulers are written against these,
// so they change only with the README's table.
//
//   tunaris/players/ID/command    one command in tunaris-send's words
//   tunaris/groups/NAME/command   the same, taken by every member
//   tunaris/players/ID/reply      one reply per command, unless the command
//                                 names a response topic of its own
//   tunaris/players/ID/state      retained JSON, below
namespace FleetTopics {

QByteArray playerCommand(const QString &player);
QByteArray groupCommand(const QString &group);
QByteArray playerReply(const QString &player);
QByteArray playerState(const QString &player);
// Every player's state, for listing them.
QByteArray everyState();
// The player a state topic belongs to; empty when it is not one.
QString playerOfState(const QByteArray &topic);

// User properties: who answered (on a response topic shared by a group, and
// on every state), when a command was made and when it must no longer play
// (messagelife.h).
inline constexpr char PlayerProperty[] = "player";
inline constexpr char CreatedProperty[] = "created";
inline constexpr char ExpiresProperty[] = "expires";
// A state is published with this message expiry (ten years), so that the
// broker tells every reader how old it is by what is left of it.
inline constexpr quint32 StateExpirySeconds = 10 * 365 * 24 * 3600;

} // namespace FleetTopics

// {"online":true,"since":"2025-05-01T08:00:00.125Z","host":"shop12-pc","port":"/dev/ttyUSB0",
//  "link":"open","groups":["shops"],
//  "last":{"command":"play","bytes":"20 ff ff ff","time":"2025-05-01T12:00:00.250Z"},
//  "answer":{"command":"next","reply":"unknown ...","time":"2025-05-01T12:00:05.500Z"}}
// "since" and "link" are left out while offline, "last" until a command went
// out, "answer" until a command was answered since the bridge started.
struct PlayerState
{
    bool online = false;
    QString since; // online: when its bridge joined the broker, UTC
    QString host;  // the machine the bridge runs on
    QString port;
    QString link; // "open", "held by the console", "lost", "waiting"
    QStringList groups;
    QString lastCommand; // what went out last: words, "folder 300 --seq --reset"
    QString lastBytes;   // "03 01 2c ff"
    QString lastTime;    // UTC, ISO 8601 with milliseconds
    // The last command the bridge answered, from whichever door, and its
    // reply in the contract's words: what became of it, sent or not.
    QString answerCommand;
    QString answerReply; // "ok 20 ff ff ff", "error not sent: ...", "unknown ..."
    QString answerTime;
    // What is known of the player's volume (KnownMixer::toJson()), as the
    // console's window and the remote's pages show it; empty: not told.
    QJsonObject levels;

    QByteArray toJson() const;
    // A state as another program published it, taken as hostile: only what
    // has the expected type is kept, and only as much as a listing shows.
    static std::optional<PlayerState> fromJson(const QByteArray &json);
};

// A player's retained state as it came from the broker.
struct SeenState
{
    std::optional<PlayerState> state; // none: not one this program can read
    // Its bridge gives every state the user property "player" and a message
    // expiry: a state without them came by a path that drops MQTT 5
    // properties, and so would a command and its reply.
    bool propertiesKept = false;
    QDateTime published; // by this machine's clock, from what is left of its expiry; invalid: unknown
};

// One line of the listing: "shop-12  online  /dev/ttyUSB0  open  groups: shops
// last: play 20 ff ff ff at 2025-...", "shop-14  offline since 2025-...Z ...",
// every text made safe for a terminal.
QString listingLine(const QString &player, const SeenState &seen);

// The same as a table's columns, for a listing kept up to date on a terminal.
struct ListingRow
{
    QString player;
    QString state; // "online", "offline", or why it cannot be read
    QString since; // UTC, "2025-05-01 11:58:20Z"; empty: unknown
    QString link;
    QString port;
    QString groups;
    QString last; // "play (20 ff ff ff) at 2025-05-01 12:00:00Z"
};
ListingRow listingRow(const QString &player, const SeenState &seen);

// Who a command for one player, or for every member of a group (the players
// whose state names it), goes to: each is sent the command, or answered at
// once, without it, with a reply line of why not ("error not sent: offline
// since ..."): its state shows it offline, cannot be read, or came by a path
// that drops MQTT 5 properties. Empty, with the refusal, when the broker
// knows no such player or no member.
struct Addressee
{
    QString player;
    QByteArray answer; // empty: send it the command
};
QList<Addressee> addressees(const QMap<QString, SeenState> &states, const QString &player, const QString &group,
                            QString *refusal);
