#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A player announced to building automation in the MQTT discovery
// convention of Home Assistant's MQTT integration (which openHAB and others
// read too): one retained configuration message per entity, on
// homeassistant/<component>/<node>/<object>/config, making the player a
// device with a button per transport command (published to its command
// topic, at QoS 0), a connectivity sensor from its retained state (offline
// through the bridge's last will), and its link and last command as
// sensors. An empty retained message on the same topic removes an entity.
//
// Only keys the convention documents are used (the tests check each one),
// in their full names.
namespace FleetDiscovery {

inline constexpr char Prefix[] = "homeassistant";

struct Config
{
    QByteArray topic;
    QByteArray payload; // JSON
};

// Every entity of `player`, as its bridge `version` announces it.
QList<Config> configs(const QString &player, const QString &version);

// The player's part of a discovery topic: [a-zA-Z0-9_-] only, as the
// convention asks, and one player's never another's ('.' and '_' escaped).
QByteArray nodeId(const QString &player);

// Every configuration of the player's node, whoever published it: what a
// bridge looks for to remove those it no longer announces.
QByteArray nodeFilter(const QString &player);
// Whether `topic` is a configuration of the player's node.
bool isNodeConfig(const QByteArray &topic, const QString &player);

} // namespace FleetDiscovery
