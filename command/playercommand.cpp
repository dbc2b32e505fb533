#include "command/playercommand.h"

#include <QCoreApplication>

#include <algorithm>
#include <iterator>
#include <tuple>

using namespace Commands;

namespace {

bool inRange(int value, int low, int high)
{
    return value >= low && value <= high;
}

bool isXMode(SpotMode mode)
{
    return mode == SpotMode::XInRandom || mode == SpotMode::XInSequential;
}

bool isKnownChannel(VolumeChannel channel)
{
    return std::find(std::begin(volumeChannels), std::end(volumeChannels), channel) != std::end(volumeChannels);
}

bool isKnownTransport(Opcode opcode)
{
    return std::find(std::begin(transportOpcodes), std::end(transportOpcodes), opcode) != std::end(transportOpcodes);
}

// The names the console echoes, looked up in the window's translation: the
// one table of command names in the program.
const char *const transportNames[] = {
    QT_TRANSLATE_NOOP("MainWindow", "Play"),     QT_TRANSLATE_NOOP("MainWindow", "Pause"),
    QT_TRANSLATE_NOOP("MainWindow", "Stop"),     QT_TRANSLATE_NOOP("MainWindow", "Next"),
    QT_TRANSLATE_NOOP("MainWindow", "Previous"),
};
static_assert(std::size(transportNames) == std::size(transportOpcodes));

const char *nameSource(const PlayerCommand &command)
{
    using Kind = PlayerCommand::Kind;
    switch (command.kind) {
    case Kind::Transport: {
        const auto *found = std::find(std::begin(transportOpcodes), std::end(transportOpcodes), command.transport);
        return found == std::end(transportOpcodes) ? "" : transportNames[found - std::begin(transportOpcodes)];
    }
    case Kind::Folder:
        return QT_TRANSLATE_NOOP("MainWindow", "Load folder");
    case Kind::Playlist:
        return QT_TRANSLATE_NOOP("MainWindow", "Load playlist");
    case Kind::Spot:
        return QT_TRANSLATE_NOOP("MainWindow", "Load Spot");
    case Kind::WebRadio:
        return QT_TRANSLATE_NOOP("MainWindow", "Load WebRadio");
    case Kind::Ftp:
        return QT_TRANSLATE_NOOP("MainWindow", "Launch FTP");
    case Kind::Source:
        return QT_TRANSLATE_NOOP("MainWindow", "Source");
    case Kind::Volume:
        return QT_TRANSLATE_NOOP("MainWindow", "Absolute Volume");
    case Kind::VolumeStep:
        return QT_TRANSLATE_NOOP("MainWindow", "Relative Volume");
    case Kind::Mute:
        return QT_TRANSLATE_NOOP("MainWindow", "Mute Volume");
    }
    return "";
}

PlayerCommand ofKind(PlayerCommand::Kind kind)
{
    PlayerCommand command;
    command.kind = kind;
    return command;
}

// Mode words as the window's radio buttons show them; X stands for the count.
QString loadModeText(LoadMode mode)
{
    return mode == LoadMode::Sequential ? QStringLiteral("SEQ") : QStringLiteral("RND");
}

QString spotModeText(SpotMode mode, int count)
{
    switch (mode) {
    case SpotMode::Random:
        return QStringLiteral("RND");
    case SpotMode::Sequential:
        return QStringLiteral("SEQ");
    case SpotMode::XInRandom:
        return QStringLiteral("%1 IN RND").arg(count);
    case SpotMode::XInSequential:
        return QStringLiteral("%1 IN SEQ").arg(count);
    }
    return QString();
}

QString numberedLoadText(const PlayerCommand &command)
{
    QString text =
        QStringLiteral("%1 %2 %3").arg(commandName(command)).arg(command.number).arg(loadModeText(command.loadMode));
    if (command.reset)
        text += QLatin1String(" Reset");
    return text;
}

} // namespace

PlayerCommand PlayerCommand::transportCommand(Opcode opcode)
{
    PlayerCommand command = ofKind(Kind::Transport);
    command.transport = opcode;
    return command;
}

PlayerCommand PlayerCommand::folder(int number, LoadMode mode, bool reset)
{
    PlayerCommand command = ofKind(Kind::Folder);
    command.number = number;
    command.loadMode = mode;
    command.reset = reset;
    return command;
}

PlayerCommand PlayerCommand::playlist(int number, LoadMode mode, bool reset)
{
    PlayerCommand command = folder(number, mode, reset);
    command.kind = Kind::Playlist;
    return command;
}

PlayerCommand PlayerCommand::spot(int number, SpotMode mode, int count)
{
    PlayerCommand command = ofKind(Kind::Spot);
    command.number = number;
    command.spotMode = mode;
    // Only the X IN modes carry a count; keep it out of the others so that
    // two equal commands compare equal.
    command.count = isXMode(mode) ? count : 0;
    return command;
}

PlayerCommand PlayerCommand::webRadio(int station)
{
    PlayerCommand command = ofKind(Kind::WebRadio);
    command.number = station;
    return command;
}

PlayerCommand PlayerCommand::ftp(int client)
{
    PlayerCommand command = ofKind(Kind::Ftp);
    command.number = client;
    return command;
}

PlayerCommand PlayerCommand::source(int index)
{
    PlayerCommand command = ofKind(Kind::Source);
    command.number = index;
    return command;
}

PlayerCommand PlayerCommand::volume(VolumeChannel channel, int level)
{
    PlayerCommand command = ofKind(Kind::Volume);
    command.channel = channel;
    command.level = level;
    return command;
}

PlayerCommand PlayerCommand::volumeStep(VolumeChannel channel, int step)
{
    PlayerCommand command = ofKind(Kind::VolumeStep);
    command.channel = channel;
    command.step = step;
    return command;
}

PlayerCommand PlayerCommand::muteChannel(VolumeChannel channel, bool mute)
{
    PlayerCommand command = ofKind(Kind::Mute);
    command.channel = channel;
    command.mute = mute;
    return command;
}

bool PlayerCommand::operator==(const PlayerCommand &other) const
{
    const auto fields = [](const PlayerCommand &c) {
        return std::tie(c.kind, c.transport, c.number, c.loadMode, c.reset, c.spotMode, c.count, c.channel, c.level,
                        c.step, c.mute);
    };
    return fields(*this) == fields(other);
}

bool isValid(const PlayerCommand &command)
{
    using Kind = PlayerCommand::Kind;
    switch (command.kind) {
    case Kind::Transport:
        return isKnownTransport(command.transport);
    case Kind::Folder:
    case Kind::Playlist:
        return inRange(command.number, 1, MaxMediaNumber);
    case Kind::Spot:
        return inRange(command.number, 1, MaxMediaNumber)
               && (!isXMode(command.spotMode) || inRange(command.count, 1, MaxSpotCount));
    case Kind::WebRadio:
    case Kind::Ftp:
        return inRange(command.number, 1, MaxStation);
    case Kind::Source:
        return inRange(command.number, 0, sourceCount() - 1);
    case Kind::Volume:
        return isKnownChannel(command.channel) && inRange(command.level, MinLevel, MaxLevel);
    case Kind::VolumeStep:
        return isKnownChannel(command.channel) && command.step != 0 && inRange(command.step, -MaxStep, MaxStep);
    case Kind::Mute:
        return isKnownChannel(command.channel);
    }
    return false;
}

CommandFrame toFrame(const PlayerCommand &command)
{
    using Kind = PlayerCommand::Kind;
    switch (command.kind) {
    case Kind::Transport:
        return transport(command.transport);
    case Kind::Folder:
        return loadFolder(command.number, command.loadMode, command.reset);
    case Kind::Playlist:
        return loadPlaylist(command.number, command.loadMode, command.reset);
    case Kind::Spot:
        return loadSpot(command.number, command.spotMode, command.count);
    case Kind::WebRadio:
        return loadWebRadio(command.number);
    case Kind::Ftp:
        return launchFtp(command.number);
    case Kind::Source:
        return selectSource(command.number);
    case Kind::Volume:
        return absoluteVolume(command.level + LevelOffset, command.channel);
    case Kind::VolumeStep:
        return relativeVolume(RelativeZero + command.step, command.channel);
    case Kind::Mute:
        return muteVolume(command.mute, command.channel);
    }
    return {};
}

QString commandName(const PlayerCommand &command)
{
    return QLatin1String(nameSource(command));
}

QString translatedCommandName(const PlayerCommand &command)
{
    return QCoreApplication::translate("MainWindow", nameSource(command));
}

QString describe(const PlayerCommand &command)
{
    using Kind = PlayerCommand::Kind;
    const QString name = commandName(command);
    switch (command.kind) {
    case Kind::Transport:
        return name;
    case Kind::Folder:
    case Kind::Playlist:
        return numberedLoadText(command);
    case Kind::Spot:
        return QStringLiteral("%1 %2 %3")
            .arg(name)
            .arg(command.number)
            .arg(spotModeText(command.spotMode, command.count));
    case Kind::WebRadio:
    case Kind::Ftp:
        return QStringLiteral("%1 %2").arg(name).arg(command.number);
    case Kind::Source:
        return QStringLiteral("%1 %2").arg(name, sourceNames().value(command.number));
    case Kind::Volume:
        return QStringLiteral("%1 %2 %3 dB").arg(name, channelName(command.channel)).arg(command.level);
    case Kind::VolumeStep:
        return QStringLiteral("%1 %2 %3%4 dB")
            .arg(name, channelName(command.channel), command.step > 0 ? QStringLiteral("+") : QString())
            .arg(command.step);
    case Kind::Mute:
        return QStringLiteral("%1 %2 %3")
            .arg(name, channelName(command.channel), command.mute ? QStringLiteral("on") : QStringLiteral("off"));
    }
    return name;
}

QString channelName(VolumeChannel channel)
{
    switch (channel) {
    case VolumeChannel::All:
        return QStringLiteral("ALL");
    case VolumeChannel::Xlr:
        return QStringLiteral("XLR");
    case VolumeChannel::Rca:
        return QStringLiteral("RCA");
    }
    return QString();
}
