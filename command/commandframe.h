#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>

// One device command: four bytes, sent byte 0 first. Byte 0 is the opcode,
// bytes 1 and 2 a big-endian 16-bit parameter (or a one-byte parameter or a
// filler), byte 3 a channel code, a count or the filler 0xFF.
using CommandFrame = std::array<quint8, 4>;

QByteArray frameBytes(const CommandFrame &frame);

// The status echo of a sent command: "Play : 0x20 0xff 0xff 0xff".
QString commandEcho(const QString &name, const CommandFrame &frame);

// The device's command set. Every frame the console or the tools send is
// built here, so there is one table of opcodes in the whole program.
namespace Commands {

enum Opcode : quint8 {
    LoadFolder = 0x00,
    LoadPlaylist = 0x08,
    LoadSpot = 0x10,
    Play = 0x20,
    Pause = 0x21,
    Stop = 0x22,
    Next = 0x23,
    Previous = 0x24,
    AbsoluteVolume = 0x30,
    RelativeVolume = 0x31,
    MuteVolume = 0x33,
    LoadWebRadio = 0x40,
    LaunchFtp = 0x41,
};

// Folder and playlist loads: SEQ adds 2, Reset adds 1 to the opcode.
enum class LoadMode { Random, Sequential };
// Spot loads weigh their modes differently: SEQ +1, X IN RND +2, X IN SEQ +4.
enum class SpotMode { Random, Sequential, XInRandom, XInSequential };
// Channel codes on the wire; XLR is 2 although the window shows it second.
enum class VolumeChannel : quint8 { All = 0, Rca = 1, Xlr = 2 };

constexpr int MaxMediaNumber = 999; // folders, playlists and spots: 1..999
constexpr int MaxSpotCount = 255;   // X of the X IN modes: 1..255
constexpr int MaxStation = 10;      // web radio stations and FTP clients: 1..10
constexpr int MinLevel = -64;       // volume levels in dB, -64 counts as muted
constexpr int MaxLevel = 0;
constexpr int LevelOffset = 64;  // absolute volume is sent as level + 64
constexpr int RelativeZero = 32; // relative volume is sent as 32 +/- step
constexpr int MaxStep = 32;

CommandFrame transport(Opcode opcode);
CommandFrame loadFolder(int folder, LoadMode mode, bool reset);
CommandFrame loadPlaylist(int playlist, LoadMode mode, bool reset);
CommandFrame loadSpot(int spot, SpotMode mode, int count);
CommandFrame loadWebRadio(int station);
CommandFrame launchFtp(int client);

// Sources by their index in the source list; an index outside it selects
// the main media.
int sourceCount();
quint8 sourceOpcode(int index);
QStringList sourceNames();
// One lower-case word per source, in the same order: "aux", "sd", ...
QStringList sourceShortNames();
CommandFrame selectSource(int index);

// The value is already shifted: level + 64 for absolute, 32 +/- step for
// relative volume.
CommandFrame absoluteVolume(int value, VolumeChannel channel);
CommandFrame relativeVolume(int value, VolumeChannel channel);
CommandFrame muteVolume(bool mute, VolumeChannel channel);

} // namespace Commands
