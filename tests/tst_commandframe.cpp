// The frame encoder and the status echo, without a window.
#include "command/commandframe.h"

#include <QTest>

using namespace Commands;

Q_DECLARE_METATYPE(CommandFrame)

class CommandFrameTest : public QObject
{
    Q_OBJECT

private slots:
    void echo_data();
    void echo();
    void frames_data();
    void frames();
    void sourceList();
};

static CommandFrame bytes(quint8 b0, quint8 b1, quint8 b2, quint8 b3)
{
    return {b0, b1, b2, b3};
}

void CommandFrameTest::echo_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<CommandFrame>("frame");
    QTest::addColumn<QString>("expected");

    QTest::newRow("fillers") << "Play" << bytes(0x20, 0xFF, 0xFF, 0xFF) << "Play : 0x20 0xff 0xff 0xff";
    QTest::newRow("zero bytes have one digit")
        << "Mute Volume" << bytes(0x33, 0x00, 0x01, 0x00) << "Mute Volume : 0x33 0x0 0x1 0x0";
    QTest::newRow("no leading zeros") << "Load folder" << bytes(0x02, 0x00, 0x07, 0xFF)
                                      << "Load folder : 0x2 0x0 0x7 0xff";
    QTest::newRow("lower case, unsigned") << "X" << bytes(0xAB, 0x80, 0x7F, 0xFE) << "X : 0xab 0x80 0x7f 0xfe";
    QTest::newRow("translated name") << "Arrêter" << bytes(0x22, 0xFF, 0xFF, 0xFF) << "Arrêter : 0x22 0xff 0xff 0xff";
}

void CommandFrameTest::echo()
{
    QFETCH(QString, name);
    QFETCH(CommandFrame, frame);
    QFETCH(QString, expected);
    QCOMPARE(commandEcho(name, frame), expected);
    QCOMPARE(frameBytes(frame).size(), 4);
}

void CommandFrameTest::frames_data()
{
    QTest::addColumn<CommandFrame>("frame");
    QTest::addColumn<CommandFrame>("expected");

    QTest::newRow("play") << transport(Play) << bytes(0x20, 0xFF, 0xFF, 0xFF);
    QTest::newRow("previous") << transport(Previous) << bytes(0x24, 0xFF, 0xFF, 0xFF);
    QTest::newRow("folder 1") << loadFolder(1, LoadMode::Random, false) << bytes(0x00, 0x00, 0x01, 0xFF);
    QTest::newRow("folder 300 seq reset")
        << loadFolder(300, LoadMode::Sequential, true) << bytes(0x03, 0x01, 0x2C, 0xFF);
    QTest::newRow("folder 999") << loadFolder(999, LoadMode::Random, false) << bytes(0x00, 0x03, 0xE7, 0xFF);
    QTest::newRow("folder 256") << loadFolder(256, LoadMode::Random, false) << bytes(0x00, 0x01, 0x00, 0xFF);
    QTest::newRow("folder reset") << loadFolder(7, LoadMode::Random, true) << bytes(0x01, 0x00, 0x07, 0xFF);
    QTest::newRow("playlist seq") << loadPlaylist(1, LoadMode::Sequential, false) << bytes(0x0A, 0x00, 0x01, 0xFF);
    QTest::newRow("playlist seq reset") << loadPlaylist(2, LoadMode::Sequential, true) << bytes(0x0B, 0x00, 0x02, 0xFF);
    QTest::newRow("spot rnd ignores X") << loadSpot(1, SpotMode::Random, 9) << bytes(0x10, 0x00, 0x01, 0xFF);
    QTest::newRow("spot seq ignores X") << loadSpot(5, SpotMode::Sequential, 3) << bytes(0x11, 0x00, 0x05, 0xFF);
    QTest::newRow("spot X in rnd") << loadSpot(5, SpotMode::XInRandom, 255) << bytes(0x12, 0x00, 0x05, 0xFF);
    QTest::newRow("spot X in seq") << loadSpot(5, SpotMode::XInSequential, 3) << bytes(0x14, 0x00, 0x05, 0x03);
    QTest::newRow("web radio 10") << loadWebRadio(10) << bytes(0x40, 0x00, 0x0A, 0xFF);
    QTest::newRow("ftp 10") << launchFtp(10) << bytes(0x41, 0x00, 0x0A, 0xFF);
    QTest::newRow("source AUX") << selectSource(6) << bytes(0x5B, 0x00, 0x01, 0xFF);
    QTest::newRow("source web radio") << selectSource(5) << bytes(0x57, 0x00, 0x01, 0xFF);
    QTest::newRow("no source selected") << selectSource(-1) << bytes(0x50, 0x00, 0x01, 0xFF);
    QTest::newRow("volume -64 all") << absoluteVolume(0, VolumeChannel::All) << bytes(0x30, 0x00, 0x00, 0x00);
    QTest::newRow("volume -10 rca") << absoluteVolume(54, VolumeChannel::Rca) << bytes(0x30, 0x00, 0x36, 0x01);
    QTest::newRow("volume 0 xlr") << absoluteVolume(64, VolumeChannel::Xlr) << bytes(0x30, 0x00, 0x40, 0x02);
    QTest::newRow("relative up 32") << relativeVolume(64, VolumeChannel::All) << bytes(0x31, 0x00, 0x40, 0x00);
    QTest::newRow("relative down 1") << relativeVolume(31, VolumeChannel::All) << bytes(0x31, 0x00, 0x1F, 0x00);
    QTest::newRow("mute xlr") << muteVolume(true, VolumeChannel::Xlr) << bytes(0x33, 0x00, 0x01, 0x02);
    QTest::newRow("unmute xlr") << muteVolume(false, VolumeChannel::Xlr) << bytes(0x33, 0x00, 0x00, 0x02);
}

void CommandFrameTest::frames()
{
    QFETCH(CommandFrame, frame);
    QFETCH(CommandFrame, expected);
    QCOMPARE(frameBytes(frame).toHex(' '), frameBytes(expected).toHex(' '));
}

void CommandFrameTest::sourceList()
{
    const QStringList expected = {"Main Media", "SD Card", "External USB", "Internal USB", "HDD", "Web Radio", "AUX"};
    QCOMPARE(sourceNames(), expected);
    const quint8 opcodes[] = {0x50, 0x51, 0x52, 0x53, 0x54, 0x57, 0x5B};
    for (int index = 0; index < sourceCount(); ++index)
        QCOMPARE(selectSource(index)[0], opcodes[index]);
}

QTEST_APPLESS_MAIN(CommandFrameTest)
#include "tst_commandframe.moc"
