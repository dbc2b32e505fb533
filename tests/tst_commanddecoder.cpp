// Frames back to commands: the decoder behind the monitor, and the scanner
// that finds frames in a byte stream that has no start marker. Every command
// also makes the round trip through its words, the text form every text
// interface reads.
#include "command/commanddecoder.h"
#include "command/commandgrammar.h"
#include "tests/support/commandcompare.h"

#include <QSet>
#include <QTest>

using namespace Commands;

Q_DECLARE_METATYPE(CommandFrame)

class CommandDecoderTest : public QObject
{
    Q_OBJECT

private slots:
    void everyCommandRoundTrips_data();
    void everyCommandRoundTrips();
    void onlyCommandOpcodesDecode();
    void rejectsFrames_data();
    void rejectsFrames();
    void describesFrames_data();
    void describesFrames();
    void scansStreams_data();
    void scansStreams();
};

namespace {

CommandFrame bytes(quint8 b0, quint8 b1, quint8 b2, quint8 b3)
{
    return {b0, b1, b2, b3};
}

const VolumeChannel allChannels[] = {VolumeChannel::All, VolumeChannel::Rca, VolumeChannel::Xlr};

QList<PlayerCommand> numberedLoads(PlayerCommand (*load)(int, LoadMode, bool))
{
    QList<PlayerCommand> commands;
    for (int number = 1; number <= 999; ++number) {
        for (const LoadMode mode : {LoadMode::Random, LoadMode::Sequential}) {
            commands << load(number, mode, false) << load(number, mode, true);
        }
    }
    return commands;
}

QList<PlayerCommand> spots(SpotMode mode, int lowestCount, int highestCount)
{
    QList<PlayerCommand> commands;
    for (int number = 1; number <= 999; ++number) {
        for (int count = lowestCount; count <= highestCount; ++count)
            commands << PlayerCommand::spot(number, mode, count);
    }
    return commands;
}

QList<PlayerCommand> numbered(PlayerCommand (*make)(int), int first, int last)
{
    QList<PlayerCommand> commands;
    for (int number = first; number <= last; ++number)
        commands << make(number);
    return commands;
}

QList<int> range(int first, int last)
{
    QList<int> values;
    for (int value = first; value <= last; ++value)
        values << value;
    return values;
}

QList<PlayerCommand> perChannel(PlayerCommand (*make)(VolumeChannel, int), const QList<int> &values)
{
    QList<PlayerCommand> commands;
    for (const VolumeChannel channel : allChannels) {
        for (const int value : values)
            commands << make(channel, value);
    }
    return commands;
}

// Each line: the bytes in hex, a bar, the description.
QString scanned(const QList<ScannedItem> &items)
{
    QStringList lines;
    for (const ScannedItem &item : items)
        lines << QString::fromLatin1(item.bytes.toHex(' ')) + QLatin1Char('|') + describe(item);
    return lines.join(QLatin1Char('\n'));
}

QString scanInChunks(const QByteArray &input, int chunkSize)
{
    FrameScanner scanner;
    QList<ScannedItem> items;
    for (int start = 0; start < input.size(); start += chunkSize)
        items += scanner.feed(input.mid(start, chunkSize));
    items += scanner.finish();
    return scanned(items);
}

} // namespace

void CommandDecoderTest::everyCommandRoundTrips_data()
{
    QTest::addColumn<QList<PlayerCommand>>("commands");

    QList<PlayerCommand> transports;
    for (const Opcode opcode : {Play, Pause, Stop, Next, Previous})
        transports << PlayerCommand::transportCommand(opcode);
    QList<PlayerCommand> mutes;
    for (const VolumeChannel channel : allChannels)
        mutes << PlayerCommand::muteChannel(channel, true) << PlayerCommand::muteChannel(channel, false);

    QTest::newRow("transport") << transports;
    QTest::newRow("folder") << numberedLoads(&PlayerCommand::folder);
    QTest::newRow("playlist") << numberedLoads(&PlayerCommand::playlist);
    QTest::newRow("spot RND") << spots(SpotMode::Random, 0, 0);
    QTest::newRow("spot SEQ") << spots(SpotMode::Sequential, 0, 0);
    QTest::newRow("spot X IN RND") << spots(SpotMode::XInRandom, 1, 255);
    QTest::newRow("spot X IN SEQ") << spots(SpotMode::XInSequential, 1, 255);
    QTest::newRow("web radio") << numbered(&PlayerCommand::webRadio, 1, 10);
    QTest::newRow("ftp") << numbered(&PlayerCommand::ftp, 1, 10);
    QTest::newRow("source") << numbered(&PlayerCommand::source, 0, 6);
    QTest::newRow("absolute volume") << perChannel(&PlayerCommand::volume, range(-64, 0));
    QTest::newRow("relative volume") << perChannel(&PlayerCommand::volumeStep, range(-32, -1) + range(1, 32));
    QTest::newRow("mute") << mutes;
}

void CommandDecoderTest::everyCommandRoundTrips()
{
    QFETCH(QList<PlayerCommand>, commands);
    QSet<QByteArray> frames;
    for (const PlayerCommand &command : commands) {
        const CommandFrame frame = toFrame(command);
        const std::optional<PlayerCommand> decoded = decodeFrame(frame);
        QVERIFY2(decoded, qPrintable(describe(command)));
        QCOMPARE(*decoded, command);
        frames.insert(frameBytes(frame));
        const ParsedCommands read = parseCommandWords(commandWords(command).split(QLatin1Char(' ')));
        QCOMPARE(read.error, QString());
        QCOMPARE(read.commands, QList<PlayerCommand>{command});
    }
    // No two commands share a frame.
    QCOMPARE(frames.size(), commands.size());
}

void CommandDecoderTest::onlyCommandOpcodesDecode()
{
    const QSet<int> opcodes = {0x00, 0x01, 0x02, 0x03, 0x08, 0x09, 0x0A, 0x0B, 0x10, 0x11, 0x12, 0x14, 0x20, 0x21, 0x22,
                               0x23, 0x24, 0x30, 0x31, 0x33, 0x40, 0x41, 0x50, 0x51, 0x52, 0x53, 0x54, 0x57, 0x5B};
    QSet<int> decodedOpcodes;
    for (int b0 = 0; b0 <= 0xFF; ++b0) {
        QCOMPARE(commandNameForOpcode(quint8(b0)).isEmpty(), !opcodes.contains(b0));
        for (const int b1 : {0x00, 0x01, 0x03, 0x04, 0xFF}) {
            for (int b2 = 0; b2 <= 0xFF; ++b2) {
                for (const int b3 : {0x00, 0x01, 0x02, 0x03, 0xFF}) {
                    const CommandFrame frame = bytes(quint8(b0), quint8(b1), quint8(b2), quint8(b3));
                    const std::optional<PlayerCommand> decoded = decodeFrame(frame);
                    if (!decoded)
                        continue;
                    // Whatever decodes is a valid command with exactly these bytes.
                    QVERIFY(isValid(*decoded));
                    QCOMPARE(frameBytes(toFrame(*decoded)).toHex(' '), frameBytes(frame).toHex(' '));
                    decodedOpcodes.insert(b0);
                }
            }
        }
    }
    QCOMPARE(decodedOpcodes, opcodes);
}

void CommandDecoderTest::rejectsFrames_data()
{
    QTest::addColumn<CommandFrame>("frame");

    QTest::newRow("unused opcode") << bytes(0x32, 0x00, 0x00, 0x00);
    QTest::newRow("gap in the folder modes") << bytes(0x04, 0x00, 0x05, 0xFF);
    QTest::newRow("gap in the spot modes") << bytes(0x13, 0x00, 0x05, 0xFF);
    QTest::newRow("unused source") << bytes(0x55, 0x00, 0x01, 0xFF);
    QTest::newRow("play with a parameter") << bytes(0x20, 0x00, 0x00, 0x00);
    QTest::newRow("folder 0") << bytes(0x00, 0x00, 0x00, 0xFF);
    QTest::newRow("folder 1000") << bytes(0x00, 0x03, 0xE8, 0xFF);
    QTest::newRow("folder without filler") << bytes(0x00, 0x00, 0x05, 0x00);
    QTest::newRow("spot SEQ with a count") << bytes(0x11, 0x00, 0x05, 0x03);
    QTest::newRow("spot X IN SEQ with X 0") << bytes(0x14, 0x00, 0x05, 0x00);
    QTest::newRow("web radio 0") << bytes(0x40, 0x00, 0x00, 0xFF);
    QTest::newRow("web radio 11") << bytes(0x40, 0x00, 0x0B, 0xFF);
    QTest::newRow("web radio high byte") << bytes(0x40, 0x01, 0x01, 0xFF);
    QTest::newRow("ftp 11") << bytes(0x41, 0x00, 0x0B, 0xFF);
    QTest::newRow("source with another parameter") << bytes(0x50, 0x00, 0x02, 0xFF);
    QTest::newRow("volume above 0 dB") << bytes(0x30, 0x00, 0x41, 0x00);
    QTest::newRow("unknown channel") << bytes(0x30, 0x00, 0x10, 0x03);
    QTest::newRow("relative step 0") << bytes(0x31, 0x00, 0x20, 0x00);
    QTest::newRow("relative step 33") << bytes(0x31, 0x00, 0x41, 0x00);
    QTest::newRow("mute value 2") << bytes(0x33, 0x00, 0x02, 0x00);
    QTest::newRow("mute without channel") << bytes(0x33, 0x00, 0x01, 0xFF);
}

void CommandDecoderTest::rejectsFrames()
{
    QFETCH(CommandFrame, frame);
    const std::optional<PlayerCommand> decoded = decodeFrame(frame);
    QVERIFY2(!decoded, decoded ? qPrintable(describe(*decoded)) : "");
}

void CommandDecoderTest::describesFrames_data()
{
    QTest::addColumn<CommandFrame>("frame");
    QTest::addColumn<QString>("description");

    QTest::newRow("play") << bytes(0x20, 0xFF, 0xFF, 0xFF) << "Play";
    QTest::newRow("previous") << bytes(0x24, 0xFF, 0xFF, 0xFF) << "Previous";
    QTest::newRow("folder SEQ reset") << bytes(0x03, 0x01, 0x2C, 0xFF) << "Load folder 300 SEQ Reset";
    QTest::newRow("folder RND") << bytes(0x00, 0x03, 0xE7, 0xFF) << "Load folder 999 RND";
    QTest::newRow("playlist RND reset") << bytes(0x09, 0x00, 0x02, 0xFF) << "Load playlist 2 RND Reset";
    QTest::newRow("spot SEQ") << bytes(0x11, 0x00, 0x05, 0xFF) << "Load Spot 5 SEQ";
    QTest::newRow("spot X IN SEQ") << bytes(0x14, 0x00, 0x05, 0x03) << "Load Spot 5 3 IN SEQ";
    QTest::newRow("spot X IN RND") << bytes(0x12, 0x00, 0x05, 0xFF) << "Load Spot 5 255 IN RND";
    QTest::newRow("web radio") << bytes(0x40, 0x00, 0x0A, 0xFF) << "Load WebRadio 10";
    QTest::newRow("ftp") << bytes(0x41, 0x00, 0x02, 0xFF) << "Launch FTP 2";
    QTest::newRow("source") << bytes(0x52, 0x00, 0x01, 0xFF) << "Source External USB";
    QTest::newRow("absolute volume") << bytes(0x30, 0x00, 0x2C, 0x02) << "Absolute Volume XLR -20 dB";
    QTest::newRow("full volume") << bytes(0x30, 0x00, 0x40, 0x00) << "Absolute Volume ALL 0 dB";
    QTest::newRow("relative up") << bytes(0x31, 0x00, 0x25, 0x00) << "Relative Volume ALL +5 dB";
    QTest::newRow("relative down") << bytes(0x31, 0x00, 0x1B, 0x01) << "Relative Volume RCA -5 dB";
    QTest::newRow("mute") << bytes(0x33, 0x00, 0x01, 0x01) << "Mute Volume RCA on";
    QTest::newRow("unmute") << bytes(0x33, 0x00, 0x00, 0x02) << "Mute Volume XLR off";
}

void CommandDecoderTest::describesFrames()
{
    QFETCH(CommandFrame, frame);
    QFETCH(QString, description);
    const std::optional<PlayerCommand> decoded = decodeFrame(frame);
    QVERIFY(decoded);
    QCOMPARE(describe(*decoded), description);
}

void CommandDecoderTest::scansStreams_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("expected");

    QTest::newRow("nothing") << QByteArray() << "";
    QTest::newRow("back-to-back frames") << QByteArray::fromHex("0301 2cff 20ff ffff 3300 0101")
                                         << "03 01 2c ff|Load folder 300 SEQ Reset\n"
                                            "20 ff ff ff|Play\n"
                                            "33 00 01 01|Mute Volume RCA on";
    QTest::newRow("unknown byte before a frame") << QByteArray::fromHex("7e 20ffffff")
                                                 << "7e|unknown byte\n"
                                                    "20 ff ff ff|Play";
    QTest::newRow("stray opcode before a frame") << QByteArray::fromHex("00 20ffffff")
                                                 << "00|stray byte (no valid Load folder frame)\n"
                                                    "20 ff ff ff|Play";
    // The frame lost its last byte; the scanner finds the next one.
    QTest::newRow("byte lost inside a frame") << QByteArray::fromHex("03012c 22ffffff")
                                              << "03|stray byte (no valid Load folder frame)\n"
                                                 "01|stray byte (no valid Load folder frame)\n"
                                                 "2c|unknown byte\n"
                                                 "22 ff ff ff|Stop";
    QTest::newRow("frame cut off by the end") << QByteArray::fromHex("20ffffff 3000")
                                              << "20 ff ff ff|Play\n"
                                                 "30 00|incomplete Absolute Volume frame";
    QTest::newRow("only noise") << QByteArray::fromHex("ff fe 80")
                                << "ff|unknown byte\n"
                                   "fe|unknown byte\n"
                                   "80|unknown byte";
    QTest::newRow("line-end bytes are data") << QByteArray::fromHex("0a 0d 40000aff")
                                             << "0a|stray byte (no valid Load playlist frame)\n"
                                                "0d|unknown byte\n"
                                                "40 00 0a ff|Load WebRadio 10";
}

void CommandDecoderTest::scansStreams()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, expected);
    // However the line delivers the bytes, the result is the same.
    for (const int chunkSize : {qMax(1, int(input.size())), 1, 2, 3, 5})
        QCOMPARE(scanInChunks(input, chunkSize), expected);
}

QTEST_APPLESS_MAIN(CommandDecoderTest)
#include "tst_commanddecoder.moc"
