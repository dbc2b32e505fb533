#include "command/commanddecoder.h"

using namespace Commands;

namespace {

constexpr int FrameSize = int(std::tuple_size<CommandFrame>::value);

// Every command the four bytes could be, one per command family and mode,
// with the parameters read from where that family keeps them. Which reading
// is right is left to the encoder: only a reading that encodes back to the
// very same bytes is the frame's command, so the opcodes and the frame
// layout are known in one place only.
QList<PlayerCommand> readingsOf(const CommandFrame &frame)
{
    const int parameter = (frame[1] << 8) | frame[2];
    const auto channel = VolumeChannel(frame[3]);

    QList<PlayerCommand> readings;
    for (const Opcode opcode : transportOpcodes)
        readings << PlayerCommand::transportCommand(opcode);
    for (const LoadMode mode : {LoadMode::Random, LoadMode::Sequential}) {
        for (const bool reset : {false, true}) {
            readings << PlayerCommand::folder(parameter, mode, reset);
            readings << PlayerCommand::playlist(parameter, mode, reset);
        }
    }
    for (const SpotMode mode : {SpotMode::Random, SpotMode::Sequential, SpotMode::XInRandom, SpotMode::XInSequential})
        readings << PlayerCommand::spot(parameter, mode, frame[3]);
    readings << PlayerCommand::webRadio(frame[2]) << PlayerCommand::ftp(frame[2]);
    for (int index = 0; index < sourceCount(); ++index)
        readings << PlayerCommand::source(index);
    readings << PlayerCommand::volume(channel, parameter - LevelOffset)
             << PlayerCommand::volumeStep(channel, parameter - RelativeZero)
             << PlayerCommand::muteChannel(channel, frame[2] != 0);
    return readings;
}

CommandFrame frameAtStartOf(const QByteArray &bytes)
{
    return {quint8(bytes[0]), quint8(bytes[1]), quint8(bytes[2]), quint8(bytes[3])};
}

ScannedItem takeItem(QByteArray &pending, ScannedItem::Kind kind, int size)
{
    ScannedItem item;
    item.kind = kind;
    item.bytes = pending.left(size);
    pending.remove(0, size);
    return item;
}

} // namespace

std::optional<PlayerCommand> decodeFrame(const CommandFrame &frame)
{
    for (const PlayerCommand &reading : readingsOf(frame)) {
        if (isValid(reading) && toFrame(reading) == frame)
            return reading;
    }
    return std::nullopt;
}

QString commandNameForOpcode(quint8 opcode)
{
    // Byte 0 of a family does not depend on the parameters, so any bytes do.
    for (const PlayerCommand &reading : readingsOf({opcode, 0x00, 0x01, 0x01})) {
        if (toFrame(reading)[0] == opcode)
            return commandName(reading);
    }
    return QString();
}

QString describe(const ScannedItem &item)
{
    const QString family = item.bytes.isEmpty() ? QString() : commandNameForOpcode(quint8(item.bytes[0]));
    switch (item.kind) {
    case ScannedItem::Kind::Frame:
        return describe(item.command);
    case ScannedItem::Kind::UnknownByte:
        return QStringLiteral("unknown byte");
    case ScannedItem::Kind::StrayByte:
        return QStringLiteral("stray byte (no valid %1 frame)").arg(family);
    case ScannedItem::Kind::IncompleteFrame:
        return QStringLiteral("incomplete %1 frame").arg(family);
    }
    return QString();
}

QList<ScannedItem> FrameScanner::feed(const QByteArray &bytes)
{
    m_pending += bytes;
    QList<ScannedItem> items;
    while (!m_pending.isEmpty()) {
        if (commandNameForOpcode(quint8(m_pending[0])).isEmpty()) {
            items << takeItem(m_pending, ScannedItem::Kind::UnknownByte, 1);
            continue;
        }
        if (m_pending.size() < FrameSize)
            break; // may still become a frame
        const std::optional<PlayerCommand> command = decodeFrame(frameAtStartOf(m_pending));
        if (!command) {
            items << takeItem(m_pending, ScannedItem::Kind::StrayByte, 1);
            continue;
        }
        items << takeItem(m_pending, ScannedItem::Kind::Frame, FrameSize);
        items.last().command = *command;
    }
    return items;
}

QList<ScannedItem> FrameScanner::finish()
{
    // feed() keeps nothing but the start of a frame, shorter than a frame.
    QList<ScannedItem> items;
    if (!m_pending.isEmpty())
        items << takeItem(m_pending, ScannedItem::Kind::IncompleteFrame, int(m_pending.size()));
    return items;
}
