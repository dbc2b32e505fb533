#pragma once

#include "command/playercommand.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The command a frame carries, or nothing when the four bytes are not
// exactly what the encoder makes of a valid command.
std::optional<PlayerCommand> decodeFrame(const CommandFrame &frame);

// The name of the command family that starts with this byte ("Play",
// "Load folder"), or an empty text when no command does.
QString commandNameForOpcode(quint8 opcode);

// What a byte stream from the line turned out to hold.
struct ScannedItem
{
    enum class Kind {
        Frame,           // four bytes that decode to a command
        UnknownByte,     // one byte that no command starts with
        StrayByte,       // one byte that is an opcode, but no valid frame starts with it
        IncompleteFrame, // the input ended inside a frame
    };

    Kind kind = Kind::UnknownByte;
    QByteArray bytes;
    PlayerCommand command; // for Frame only
};

// "Load folder 300 SEQ Reset", "unknown byte", ...
QString describe(const ScannedItem &item);

// Splits a byte stream into frames. The stream has no start marker, so the
// scanner only accepts four bytes as a frame when they decode to a command;
// otherwise it reports the first byte on its own and tries again one byte
// further, which brings it back in step after a lost or stray byte.
class FrameScanner
{
public:
    // Takes the next bytes as they arrived and returns what they completed.
    // Bytes that may still start a frame are kept for the next call.
    QList<ScannedItem> feed(const QByteArray &bytes);
    // The input has ended: reports whatever is still kept.
    QList<ScannedItem> finish();

private:
    QByteArray m_pending;
};
