#pragma once

#include "command/playercommand.h"

#include <QJsonObject>

#include <optional>

// What is known of the player's three volume channels: the player never
// answers, so a level or a mute is known only once a command that went out
// to it set it, from whichever program or page it came. Until then it is
// unknown, and whoever shows it says so rather than guess a default. A step
// up or down from an unknown level leaves it unknown; from a known one it
// moves it within the player's range. ALL is a channel of its own: setting it
// says nothing of XLR or RCA. A channel keeps its level while muted; that is
// the level it comes back to.
class KnownMixer
{
public:
    struct Channel
    {
        std::optional<int> level; // dB, MinLevel to MaxLevel
        std::optional<bool> muted;
        bool operator==(const Channel &other) const { return level == other.level && muted == other.muted; }
        bool operator!=(const Channel &other) const { return !(*this == other); }
    };

    // A command that went out to the player; true when something known
    // changed. Commands that are not about volume change nothing.
    bool apply(const PlayerCommand &command);

    Channel channel(Commands::VolumeChannel channel) const;

    // {"all":{"level":-20,"muted":false},"xlr":{"level":null,"muted":null},...}:
    // the one form in which pages and a fleet's state carry it; null is unknown.
    QJsonObject toJson() const;

private:
    Channel m_channels[3];
};
