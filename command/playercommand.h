#pragma once

#include "command/commandframe.h"

#include <QString>

// One player command as a value: what the operator asked for, before it is
// encoded or after it was decoded. The window's buttons and the command
// words (command-line sender, the port's endpoint) make these, the monitor
// gets them back from the bytes on the line, and all of them become frames
// only through the Commands encoder.
struct PlayerCommand
{
    enum class Kind { Transport, Folder, Playlist, Spot, WebRadio, Ftp, Source, Volume, VolumeStep, Mute };

    Kind kind = Kind::Transport;
    Commands::Opcode transport = Commands::Play; // Transport
    int number = 0;                              // Folder, Playlist, Spot, WebRadio, Ftp; the list index for Source
    Commands::LoadMode loadMode = Commands::LoadMode::Random;       // Folder, Playlist
    bool reset = false;                                             // Folder, Playlist
    Commands::SpotMode spotMode = Commands::SpotMode::Random;       // Spot
    int count = 0;                                                  // X of the spot modes X IN RND and X IN SEQ, else 0
    Commands::VolumeChannel channel = Commands::VolumeChannel::All; // Volume, VolumeStep, Mute
    int level = 0;                                                  // Volume: dB from -64 to 0
    int step = 0;                                                   // VolumeStep: dB, 1 to 32 up or -1 to -32 down
    bool mute = false;                                              // Mute

    static PlayerCommand transportCommand(Commands::Opcode opcode);
    static PlayerCommand folder(int number, Commands::LoadMode mode, bool reset);
    static PlayerCommand playlist(int number, Commands::LoadMode mode, bool reset);
    static PlayerCommand spot(int number, Commands::SpotMode mode, int count = 0);
    static PlayerCommand webRadio(int station);
    static PlayerCommand ftp(int client);
    static PlayerCommand source(int index);
    static PlayerCommand volume(Commands::VolumeChannel channel, int level);
    static PlayerCommand volumeStep(Commands::VolumeChannel channel, int step);
    static PlayerCommand muteChannel(Commands::VolumeChannel channel, bool mute);

    bool operator==(const PlayerCommand &other) const;
    bool operator!=(const PlayerCommand &other) const { return !(*this == other); }
};

// The transport commands, in the order of the window's buttons.
inline constexpr Commands::Opcode transportOpcodes[] = {Commands::Play, Commands::Pause, Commands::Stop, Commands::Next,
                                                        Commands::Previous};
// The volume channels, in the order of the window: ALL, XLR, RCA.
inline constexpr Commands::VolumeChannel volumeChannels[] = {Commands::VolumeChannel::All, Commands::VolumeChannel::Xlr,
                                                             Commands::VolumeChannel::Rca};

// Whether every parameter lies in the range the console can send.
bool isValid(const PlayerCommand &command);

CommandFrame toFrame(const PlayerCommand &command);

// The command name as the console echoes it, in English ("Load folder") and
// in the interface language.
QString commandName(const PlayerCommand &command);
QString translatedCommandName(const PlayerCommand &command);
// The name with its parameters: "Load folder 300 SEQ Reset".
QString describe(const PlayerCommand &command);
// "ALL", "XLR" or "RCA".
QString channelName(Commands::VolumeChannel channel);
