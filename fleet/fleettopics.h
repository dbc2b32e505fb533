#pragma once

#include <QByteArray>
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

// User properties: who answered (on a response topic shared by a group),
// and when a command was made (its age, for publishers that set no expiry).
inline constexpr char PlayerProperty[] = "player";
inline constexpr char CreatedProperty[] = "created";

} // namespace FleetTopics

// {"online":true,"port":"/dev/ttyUSB0","link":"open","groups":["shops"],
//  "last":{"command":"play","bytes":"20 ff ff ff","time":"2025-05-01T12:00:00.250Z"}}
// "link" is left out while offline, "last" until a command went out.
struct PlayerState
{
    bool online = false;
    QString port;
    QString link; // "open", "held by the console", "lost", "waiting"
    QStringList groups;
    QString lastCommand; // words, "folder 300 --seq --reset"
    QString lastBytes;   // "03 01 2c ff"
    QString lastTime;    // UTC, ISO 8601 with milliseconds

    QByteArray toJson() const;
    // A state as another program published it, taken as hostile: only what
    // has the expected type is kept, and only as much as a listing shows.
    static std::optional<PlayerState> fromJson(const QByteArray &json);
};

// One line of the listing: "shop-12  online  /dev/ttyUSB0  open  groups: shops
// last: play 20 ff ff ff at 2025-...", every text made safe for a terminal.
QString listingLine(const QString &player, const std::optional<PlayerState> &state);
