#include "command/knownmixer.h"
#include "command/commandgrammar.h"

#include <QJsonValue>

#include <algorithm>

namespace {

int indexOf(Commands::VolumeChannel channel)
{
    return int(std::find(std::begin(volumeChannels), std::end(volumeChannels), channel) - std::begin(volumeChannels));
}

} // namespace

bool KnownMixer::apply(const PlayerCommand &command)
{
    using Kind = PlayerCommand::Kind;
    if (command.kind != Kind::Volume && command.kind != Kind::VolumeStep && command.kind != Kind::Mute)
        return false;
    Channel &known = m_channels[indexOf(command.channel)];
    const Channel before = known;
    switch (command.kind) {
    case Kind::Volume:
        known.level = command.level;
        break;
    case Kind::VolumeStep:
        if (known.level)
            known.level = std::clamp(*known.level + command.step, int(Commands::MinLevel), int(Commands::MaxLevel));
        break;
    default:
        known.muted = command.mute;
        break;
    }
    return known != before;
}

KnownMixer::Channel KnownMixer::channel(Commands::VolumeChannel channel) const
{
    return m_channels[indexOf(channel)];
}

QJsonObject KnownMixer::toJson() const
{
    QJsonObject mixer;
    for (const Commands::VolumeChannel channel : volumeChannels) {
        const Channel &known = m_channels[indexOf(channel)];
        mixer.insert(channelName(channel).toLower(),
                     QJsonObject{{QStringLiteral("level"), known.level ? QJsonValue(*known.level) : QJsonValue()},
                                 {QStringLiteral("muted"), known.muted ? QJsonValue(*known.muted) : QJsonValue()}});
    }
    return mixer;
}
