#include "command/commandframe.h"

QByteArray frameBytes(const CommandFrame &frame)
{
    return QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size()));
}

QString commandEcho(const QString &name, const CommandFrame &frame)
{
    QString bytes;
    for (const quint8 byte : frame)
        bytes += QLatin1String(" 0x") + QString::number(byte, 16);
    return name + QLatin1String(" :") + bytes;
}

namespace Commands {

namespace {

constexpr quint8 Filler = 0xFF;

quint8 highByte(int value)
{
    return quint8((value >> 8) & 0xFF);
}
quint8 lowByte(int value)
{
    return quint8(value & 0xFF);
}

CommandFrame numberedLoad(quint8 opcode, int number, LoadMode mode, bool reset)
{
    if (mode == LoadMode::Sequential)
        opcode += 2;
    if (reset)
        opcode += 1;
    return {opcode, highByte(number), lowByte(number), Filler};
}

struct Source
{
    const char *name;
    const char *shortName; // what the command-line tools accept
    quint8 opcode;
};

// 0x55, 0x56 and 0x58 to 0x5A are not used by the device.
constexpr Source sources[] = {
    {"Main Media", "main", 0x50},
    {"SD Card", "sd", 0x51},
    {"External USB", "ext-usb", 0x52},
    {"Internal USB", "int-usb", 0x53},
    {"HDD", "hdd", 0x54},
    {"Web Radio", "webradio", 0x57},
    {"AUX", "aux", 0x5B},
};

QStringList sourceTexts(const char *const Source::*text)
{
    QStringList texts;
    for (const Source &source : sources)
        texts << QLatin1String(source.*text);
    return texts;
}

} // namespace

CommandFrame transport(Opcode opcode)
{
    return {opcode, Filler, Filler, Filler};
}

CommandFrame loadFolder(int folder, LoadMode mode, bool reset)
{
    return numberedLoad(LoadFolder, folder, mode, reset);
}

CommandFrame loadPlaylist(int playlist, LoadMode mode, bool reset)
{
    return numberedLoad(LoadPlaylist, playlist, mode, reset);
}

CommandFrame loadSpot(int spot, SpotMode mode, int count)
{
    quint8 opcode = LoadSpot;
    quint8 qualifier = Filler;
    switch (mode) {
    case SpotMode::Random:
        break;
    case SpotMode::Sequential:
        opcode += 1;
        break;
    case SpotMode::XInRandom:
        opcode += 2;
        qualifier = lowByte(count);
        break;
    case SpotMode::XInSequential:
        opcode += 4;
        qualifier = lowByte(count);
        break;
    }
    return {opcode, highByte(spot), lowByte(spot), qualifier};
}

CommandFrame loadWebRadio(int station)
{
    return {LoadWebRadio, 0x00, lowByte(station), Filler};
}

CommandFrame launchFtp(int client)
{
    return {LaunchFtp, 0x00, lowByte(client), Filler};
}

int sourceCount()
{
    return int(std::size(sources));
}

quint8 sourceOpcode(int index)
{
    return (index >= 0 && index < sourceCount()) ? sources[index].opcode : sources[0].opcode;
}

QStringList sourceNames()
{
    return sourceTexts(&Source::name);
}

QStringList sourceShortNames()
{
    return sourceTexts(&Source::shortName);
}

CommandFrame selectSource(int index)
{
    return {sourceOpcode(index), 0x00, 0x01, Filler};
}

CommandFrame absoluteVolume(int value, VolumeChannel channel)
{
    return {AbsoluteVolume, highByte(value), lowByte(value), quint8(channel)};
}

CommandFrame relativeVolume(int value, VolumeChannel channel)
{
    return {RelativeVolume, highByte(value), lowByte(value), quint8(channel)};
}

CommandFrame muteVolume(bool mute, VolumeChannel channel)
{
    return {MuteVolume, 0x00, quint8(mute ? 0x01 : 0x00), quint8(channel)};
}

} // namespace Commands
