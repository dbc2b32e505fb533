// The serial link on a real device: a pseudo-terminal whose master end the
// test reads byte for byte.
#include "link/linesettings.h"
#include "tests/window/windowonpty.h"
#include "tests/window/windowtesting.h"

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(CommandFrame)

class SerialLinkTest : public QObject, private WindowOnPty
{
    Q_OBJECT

private slots:
    void init() { startOnPty(); }
    void cleanup() { stopOnPty(); }
    void framesArriveExactly_data();
    void framesArriveExactly();
    void closeAndReopenWithAnotherRate();
    void frameSentRightBeforeCloseArrives();
    void commandWhileClosedSendsNothing();
    void failedOpenSaysWhy_data();
    void failedOpenSaysWhy();
    void vanishedDeviceClosesTheLink();
    void exitReleasesThePort();

private:
    bool linkLooks(bool open) const;
};

// The port, and every control that depends on it, as an open or a closed link shows them.
bool SerialLinkTest::linkLooks(bool open) const
{
    const MainWindow &w = *window;
    for (const char *name : {"pushButton_Close", "groupBox_Transport", "groupBox_Volume"}) {
        if (child<QWidget>(w, name)->isEnabled() != open)
            return false;
    }
    for (const char *name : {"pushButton_Open", "comboBox_Serial_Port", "comboBox_Serial_Baudrate"}) {
        if (child<QWidget>(w, name)->isEnabled() == open)
            return false;
    }
    return serialPort->isOpen() == open && child<QWidget>(w, "checkBox_AutoConnect")->isEnabled();
}

void SerialLinkTest::framesArriveExactly_data()
{
    QTest::addColumn<CommandFrame>("frame");
    QTest::addColumn<QString>("echo");

    QTest::newRow("fillers") << CommandFrame{0x20, 0xFF, 0xFF, 0xFF} << "Play : 0x20 0xff 0xff 0xff";
    QTest::newRow("zeros") << CommandFrame{0x00, 0x00, 0x00, 0x00} << "Test : 0x0 0x0 0x0 0x0";
    // No line-ending translation on the way: LF and CR go out as they are.
    QTest::newRow("line feed") << CommandFrame{0x0A, 0x0A, 0x0D, 0x0A} << "Test : 0xa 0xa 0xd 0xa";
    QTest::newRow("carriage return") << CommandFrame{0x0D, 0x00, 0x0A, 0x0D} << "Test : 0xd 0x0 0xa 0xd";
    QTest::newRow("high bytes") << CommandFrame{0xFF, 0x80, 0x7F, 0x11} << "Test : 0xff 0x80 0x7f 0x11";
}

void SerialLinkTest::framesArriveExactly()
{
    QFETCH(CommandFrame, frame);
    QFETCH(QString, echo);
    open();
    const QString name = echo.section(QLatin1String(" :"), 0, 0);
    window->sendCommand(name, frame);
    QCOMPARE(status(), echo);
    expectSent(frameBytes(frame));

    // Back-to-back frames stay separate and in order.
    window->sendCommand(name, frame);
    window->sendCommand(QStringLiteral("Stop"), Commands::transport(Commands::Stop));
    expectSent(frameBytes(frame) + QByteArray("\x22\xff\xff\xff", 4));
    QVERIFY(linkLooks(true));
}

void SerialLinkTest::closeAndReopenWithAnotherRate()
{
    open();
    QVERIFY(linkLooks(true));
    QCOMPARE(serialPort->baudRate(), 115200);
    QCOMPARE(serialPort->dataBits(), QSerialPort::Data8);
    QCOMPARE(serialPort->parity(), QSerialPort::NoParity);
    QCOMPARE(serialPort->stopBits(), QSerialPort::OneStop);
    QCOMPARE(serialPort->flowControl(), QSerialPort::NoFlowControl);
    QCOMPARE(serialPort->openMode(), SendOpenMode);
    clickButton(*window, "pushButton_Close");
    QCOMPARE(status(), QStringLiteral("Close"));
    QVERIFY(linkLooks(false));

    selectBaudRate(*window, QStringLiteral("9600"));
    clickButton(*window, "pushButton_Open");
    QCOMPARE(status(), QStringLiteral("Open"));
    QCOMPARE(serialPort->baudRate(), 9600);
    window->sendCommand(QStringLiteral("Next"), Commands::transport(Commands::Next));
    expectSent(QByteArray("\x23\xff\xff\xff", 4));
}

void SerialLinkTest::frameSentRightBeforeCloseArrives()
{
    open();
    // No event loop runs between the command and the close.
    for (int i = 0; i < 50; ++i)
        window->sendCommand(QStringLiteral("Play"), Commands::transport(Commands::Play));
    clickButton(*window, "pushButton_Close");
    QVERIFY(linkLooks(false));
    const QByteArray received = pty->read(200);
    QCOMPARE(received.size(), 200);
    QCOMPARE(received, QByteArray("\x20\xff\xff\xff", 4).repeated(50));
}

void SerialLinkTest::commandWhileClosedSendsNothing()
{
    child<QLabel>(*window, "label_Status")->setText(QStringLiteral("previous"));
    child<QWidget>(*window, "groupBox_Transport")->setEnabled(true);
    window->sendCommand(QStringLiteral("Play"), Commands::transport(Commands::Play));
    QCOMPARE(status(), QStringLiteral("previous"));
    // The enabled states are refreshed all the same.
    QVERIFY(linkLooks(false));
    QCOMPARE(pty->readRest(), QByteArray());
}

// clang-format off
void SerialLinkTest::failedOpenSaysWhy_data()
{
    QTest::addColumn<QString>("port"); // "held": the test's device, opened first by another holder
    QTest::addColumn<QString>("message");
    QTest::newRow("missing device") << "/dev/tunaris-no-such-port" << "Cannot open /dev/tunaris-no-such-port: no such port";
    // The library's own words follow.
    QTest::newRow("not a serial device") << "/dev/null" << "Cannot open /dev/null: ";
    QTest::newRow("empty port list") << "" << "No serial port";
    QTest::newRow("held by another program") << "held" << "%1 is in use by another program (tst_seriallink, process %2)";
}
// clang-format on

void SerialLinkTest::failedOpenSaysWhy()
{
    QFETCH(QString, port);
    QFETCH(QString, message);
    QSerialPort holder(pty->slavePath());
    if (port == QLatin1String("held")) {
        QVERIFY(holder.open(QIODevice::WriteOnly));
        port = pty->slavePath();
        message = message.arg(port).arg(QCoreApplication::applicationPid());
    }
    auto *ports = child<QComboBox>(*window, "comboBox_Serial_Port");
    ports->clear();
    if (!port.isEmpty())
        selectPort(*window, port);
    clickButton(*window, "pushButton_Open");
    QVERIFY2(status().startsWith(message), qPrintable(status()));
    // The reason itself is shown, not just the prefix.
    QVERIFY2(status().size() > message.size() || !message.endsWith(QLatin1Char(' ')), qPrintable(status()));
    QVERIFY(linkLooks(false));
}

void SerialLinkTest::vanishedDeviceClosesTheLink()
{
    open();
    pty->closeMaster();
    pty->closeSlave();
    // The next frame finds the device gone.
    window->sendCommand(QStringLiteral("Play"), Commands::transport(Commands::Play));
    QTRY_VERIFY_WITH_TIMEOUT(!serialPort->isOpen(), 3000);
    QCOMPARE(status(),
             QStringLiteral("Serial port lost: %1 (a pseudo-terminal does not come back)").arg(pty->slavePath()));
    QVERIFY(linkLooks(false));
    // Reconnecting is possible at once, on a new device.
    pty = std::make_unique<PtyPair>();
    open();
}

// The end of the process leaves the lock file behind, and with it the port
// refused to every other program and user: the window lets go of it.
void SerialLinkTest::exitReleasesThePort()
{
    open();
    // Only the window that opened the port lets go of it.
    std::make_unique<MainWindow>().reset();
    QVERIFY(serialPort->isOpen());
    for (int i = 0; i < 50; ++i)
        window->sendCommand(QStringLiteral("Play"), Commands::transport(Commands::Play));
    child<QAction>(*window, "actionExit")->trigger();
    window.reset(); // as the program ends

    // What was clicked before the exit went out, and the port is free: a
    // lock file left behind would make this open fail.
    QCOMPARE(pty->read(200), QByteArray("\x20\xff\xff\xff", 4).repeated(50));
    QSerialPort next(pty->slavePath());
    QVERIFY2(next.open(QIODevice::WriteOnly), qPrintable(next.errorString()));
}

QTEST_MAIN(SerialLinkTest)
#include "tst_seriallink.moc"
