// tunaris-monitor: the real program reading a capture on its standard input
// or a real serial device (a pseudo-terminal) that the test plays the
// console on.
#include "tests/support/ptypair.h"
#include "tests/support/toolrun.h"
#include "tools/monitor/monitorline.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>

class MonitorTest : public QObject
{
    Q_OBJECT

private slots:
    void lineLayout_data();
    void lineLayout();
    void readsCapture_data();
    void readsCapture();
    void noByteIsLost();
    void readsPortUntilInterrupted();
    void vanishedPortEndsWithError();
    void virtualPlayerOnItsOwnPty();
    void deviceServerGoingAwayEndsWithError();
    void rejectsArguments_data();
    void rejectsArguments();
};

namespace {

// Guards against a hang only; the lines normally come within milliseconds.
constexpr int hangGuardMs = 10000;

const QRegularExpression timeStamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d  "));

// The output without its time stamps, after checking that every line has one.
QString withoutTimes(const QByteArray &output)
{
    QStringList lines;
    for (const QString &line : QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!timeStamp.match(line).hasMatch())
            return QStringLiteral("no time stamp: ") + line;
        lines << line.mid(14);
    }
    return lines.join(QLatin1Char('\n'));
}

bool readLines(QProcess &monitor, int count)
{
    while (monitor.bytesAvailable() == 0 || QString::fromUtf8(monitor.peek(1 << 16)).count(QLatin1Char('\n')) < count) {
        if (!monitor.waitForReadyRead(hangGuardMs))
            return false;
    }
    return true;
}

} // namespace

void MonitorTest::lineLayout_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("line");

    QTest::newRow("frame") << QByteArray::fromHex("03012cff") << "12:00:01.250  03 01 2c ff  Load folder 300 SEQ Reset";
    QTest::newRow("unknown byte") << QByteArray::fromHex("7e") << "12:00:01.250  7e           unknown byte";
    QTest::newRow("incomplete frame") << QByteArray::fromHex("20ff")
                                      << "12:00:01.250  20 ff        incomplete Play frame";
}

void MonitorTest::lineLayout()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, line);
    FrameScanner scanner;
    QList<ScannedItem> items = scanner.feed(bytes);
    items += scanner.finish();
    QCOMPARE(items.size(), 1);
    QCOMPARE(monitorLine(QTime(12, 0, 1, 250), items.first()), line);
}

void MonitorTest::readsCapture_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("capture");
    QTest::addColumn<QString>("lines");

    const QByteArray capture = QByteArray::fromHex("7e 03012cff 00 20ffffff 300000 ");
    const QString lines = QStringLiteral("7e           unknown byte\n"
                                         "03 01 2c ff  Load folder 300 SEQ Reset\n"
                                         "00           stray byte (no valid Load folder frame)\n"
                                         "20 ff ff ff  Play\n"
                                         "30 00 00     incomplete Absolute Volume frame");
    QTest::newRow("no arguments") << QStringList() << capture << lines;
    QTest::newRow("dash") << QStringList{"-"} << capture << lines;
    QTest::newRow("empty capture") << QStringList() << QByteArray() << "";
}

void MonitorTest::readsCapture()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, capture);
    QFETCH(QString, lines);
    const ToolRun run = runTool(QStringLiteral(MONITOR_PATH), arguments, capture);
    QVERIFY(run.finished);
    QCOMPARE(run.errors, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(withoutTimes(run.output), lines);
}

void MonitorTest::noByteIsLost()
{
    // Every byte value, line ends and end-of-file characters included.
    QByteArray capture;
    for (int value = 0; value <= 0xFF; ++value)
        capture += char(value);
    capture += QByteArray::fromHex("5b0001ff");
    const ToolRun run = runTool(QStringLiteral(MONITOR_PATH), {}, capture);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);

    // Each byte shows up in exactly one line, in order, and the scanner is
    // back in step for the frame at the end.
    const QString shown = withoutTimes(run.output);
    QByteArray bytesShown;
    for (const QString &line : shown.split(QLatin1Char('\n')))
        bytesShown += QByteArray::fromHex(line.left(11).toLatin1());
    QCOMPARE(bytesShown.toHex(' '), capture.toHex(' '));
    QVERIFY(shown.endsWith(QLatin1String("5b 00 01 ff  Source AUX")));
}

void MonitorTest::readsPortUntilInterrupted()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    QProcess monitor;
    monitor.start(QStringLiteral(MONITOR_PATH), {"--port", pty.slavePath(), "--baud", "9600"});
    QVERIFY(monitor.waitForStarted(hangGuardMs));
    // The first frame shows that the monitor listens; the half frame after
    // the second only shows once the monitor is told to stop.
    QVERIFY(pty.write(QByteArray::fromHex("23ffffff")));
    QVERIFY(readLines(monitor, 1));
    QVERIFY(pty.write(QByteArray::fromHex("42 24ffffff 0800")));
    QVERIFY(readLines(monitor, 3));

    signalProcess(monitor, SIGINT);
    QVERIFY(monitor.waitForFinished(hangGuardMs));
    QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.exitCode(), 0);
    QCOMPARE(monitor.readAllStandardError(), QByteArray());
    QCOMPARE(withoutTimes(monitor.readAllStandardOutput()),
             QStringLiteral("23 ff ff ff  Next\n"
                            "42           unknown byte\n"
                            "24 ff ff ff  Previous\n"
                            "08 00        incomplete Load playlist frame"));
}

void MonitorTest::vanishedPortEndsWithError()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    QProcess monitor;
    monitor.start(QStringLiteral(MONITOR_PATH), {"--port", pty.slavePath()});
    QVERIFY(monitor.waitForStarted(hangGuardMs));
    QVERIFY(pty.write(QByteArray::fromHex("20ffffff 21")));
    QVERIFY(readLines(monitor, 1));
    pty.closeMaster();
    pty.closeSlave();
    QVERIFY(monitor.waitForFinished(hangGuardMs));
    QCOMPARE(monitor.exitCode(), 1);
    QVERIFY2(monitor.readAllStandardError().startsWith("tunaris-monitor: " + pty.slavePath().toUtf8() + ": "),
             "the error names the port");
    // What arrived before is still reported.
    QCOMPARE(withoutTimes(monitor.readAllStandardOutput()), QStringLiteral("20 ff ff ff  Play\n"
                                                                           "21           incomplete Pause frame"));
}

void MonitorTest::virtualPlayerOnItsOwnPty()
{
    QProcess monitor;
    monitor.start(QStringLiteral(MONITOR_PATH), {"--pty"});
    QVERIFY(readLines(monitor, 1));
    const QString first = QString::fromUtf8(monitor.readLine()).trimmed();
    const QString prefix = QStringLiteral("Connect the console to ");
    QVERIFY2(first.startsWith(prefix), qPrintable(first));
    const QString path = first.mid(prefix.size());

    // Each sender opens and closes the device: the monitor stays and shows
    // both, bytes that look like line ends included.
    for (const char *command : {"play", "folder 10"}) {
        const ToolRun sent =
            runTool(QStringLiteral(SEND_PATH),
                    QStringList{"--port", path} + QString::fromLatin1(command).split(QLatin1Char(' ')));
        QCOMPARE(sent.exitCode, 0);
    }
    QVERIFY(readLines(monitor, 2));
    signalProcess(monitor, SIGINT);
    QVERIFY(monitor.waitForFinished(hangGuardMs));
    QCOMPARE(monitor.exitCode(), 0);
    QCOMPARE(withoutTimes(monitor.readAllStandardOutput()), QStringLiteral("20 ff ff ff  Play\n"
                                                                           "00 00 0a ff  Load folder 10 RND"));
    QVERIFY(!QFile::exists(path)); // the device is gone with the monitor
}

void MonitorTest::deviceServerGoingAwayEndsWithError()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QString port = QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort());
    QProcess monitor;
    monitor.start(QStringLiteral(MONITOR_PATH), {"--port", port});
    QVERIFY(server.waitForNewConnection(hangGuardMs));
    QTcpSocket *device = server.nextPendingConnection();
    device->write(QByteArray::fromHex("20ffffff"));
    QVERIFY(device->waitForBytesWritten(hangGuardMs));
    QVERIFY(readLines(monitor, 1));
    device->close();
    QVERIFY(monitor.waitForFinished(hangGuardMs));
    QCOMPARE(monitor.exitCode(), 1);
    QCOMPARE(monitor.readAllStandardError(),
             "tunaris-monitor: " + port.toUtf8() + ": the device server closed the connection\n");
    QCOMPARE(withoutTimes(monitor.readAllStandardOutput()), QStringLiteral("20 ff ff ff  Play"));
}

void MonitorTest::rejectsArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");

    QTest::newRow("unknown baud rate") << QStringList{"--port", "/dev/null", "--baud", "12345"} << 2
                                       << "baud rate 12345 is not supported";
    QTest::newRow("baud without port") << QStringList{"--baud", "9600"} << 2 << "--baud needs --port";
    QTest::newRow("port and dash") << QStringList{"--port", "/dev/null", "-"} << 2
                                   << "read one of a port, a pseudo-terminal or standard input";
    QTest::newRow("pty and port") << QStringList{"--pty", "--port", "/dev/null"} << 2
                                  << "read one of a port, a pseudo-terminal or standard input";
    QTest::newRow("stray argument") << QStringList{"capture.bin"} << 2 << "unexpected argument 'capture.bin'";
    QTest::newRow("unknown option") << QStringList{"--seq"} << 2 << "Unknown option 'seq'.";
    QTest::newRow("missing device") << QStringList{"--port", "/dev/tunaris-no-such-port"} << 1
                                    << "Cannot open /dev/tunaris-no-such-port: no such port";
    // The same words and status as tunaris-send's for the same mistakes, from
    // the same checks (the names a port may have are tst_portnames').
    QTest::newRow("empty port") << QStringList{"--port", ""} << 2 << "--port needs a value";
    QTest::newRow("port twice") << QStringList{"--port", "/dev/null", "--port", "/dev/zero"} << 2
                                << "--port given more than once";
}

void MonitorTest::rejectsArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    const ToolRun run = runTool(QStringLiteral(MONITOR_PATH), arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.errors.startsWith("tunaris-monitor: " + error.toUtf8()), run.errors.constData());
    QCOMPARE(run.output, QByteArray());
}

QTEST_GUILESS_MAIN(MonitorTest)
#include "tst_monitor.moc"
