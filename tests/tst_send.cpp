// tunaris-send: its command line, and the real program writing to a real
// serial device (a pseudo-terminal) whose far end the test reads.
#include "base/version.h"
#include "link/deviceserver.h"
#include "link/ownerlink.h"
#include "link/portendpoint.h"
#include "tests/support/commandcompare.h"
#include "tests/support/deviceserverstub.h"
#include "tests/support/ptypair.h"
#include "tests/support/toolrun.h"
#include "tools/send/sendcommandline.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

class SendTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { pty.reset(); }
    void parsesCommands_data();
    void parsesCommands();
    void parsesLineOptions_data();
    void parsesLineOptions();
    void rejectsArguments_data();
    void rejectsArguments();
    void helpNamesEveryCommand_data();
    void helpNamesEveryCommand();
    void sendsFrames_data();
    void sendsFrames();
    void badArgumentsSendNothing_data();
    void badArgumentsSendNothing();
    void unusablePortSaysWhy_data();
    void unusablePortSaysWhy();
    void deviceServerGetsTheFrames_data();
    void deviceServerGetsTheFrames();
    void bridgeAnswersForTheDeviceServer_data();
    void bridgeAnswersForTheDeviceServer();
    void everyFrameLeavesBeforeExit();
    void ownerFailuresAreToldApart_data();
    void ownerFailuresAreToldApart();
    void runtimeFolderAttacksSendNothing_data();
    void runtimeFolderAttacksSendNothing();
    void listsPorts();
    void answersHelpAndVersion_data();
    void answersHelpAndVersion();

private:
    QTemporaryDir runtime; // the session's runtime folder, of this run's own
    std::unique_ptr<PtyPair> pty;
};

namespace {

constexpr int answerMs = 5000;

QStringList words(const char *text)
{
    return QString::fromUtf8(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QByteArray framesOf(const QList<PlayerCommand> &commands)
{
    QByteArray bytes;
    for (const PlayerCommand &command : commands)
        bytes += frameBytes(toFrame(command));
    return bytes;
}

// Every way of writing a command, with the bytes the player must receive;
// `only` these rows when given.
void addCommandRows(const QStringList &only = {})
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("frames");

    const auto row = [&only](const char *arguments, const char *hex) {
        if (only.isEmpty() || only.contains(QLatin1String(arguments)))
            QTest::newRow(arguments) << words(arguments) << QByteArray::fromHex(hex);
    };
    row("play", "20ffffff");
    row("pause", "21ffffff");
    row("stop", "22ffffff");
    row("next", "23ffffff");
    row("previous", "24ffffff");
    row("PLAY", "20ffffff");
    row("folder 1", "000001ff");
    row("folder 300 --seq --reset", "03012cff");
    row("folder 300 --reset --seq", "03012cff");
    row("playlist 1 --seq", "0a0001ff");
    row("playlist 2 --seq --reset", "0b0002ff");
    row("spot 1", "100001ff");
    row("spot 5 --seq", "110005ff");
    row("spot 5 --x-in-rnd 255", "120005ff");
    row("spot 5 --x-in-seq 3", "14000503");
    row("spot 5 --x-in-seq=3", "14000503");
    row("webradio 10", "40000aff");
    row("ftp 2", "410002ff");
    row("source main", "500001ff");
    row("source sd", "510001ff");
    row("source ext-usb", "520001ff");
    row("source int-usb", "530001ff");
    row("source hdd", "540001ff");
    row("source webradio", "570001ff");
    row("source aux", "5b0001ff");
    row("volume all -64", "30000000");
    row("volume rca -10", "30003601");
    row("volume xlr -20", "30002c02");
    row("volume all up 5", "31002500");
    row("volume all down 5", "31001b00");
    row("volume rca up 32", "31004001");
    row("volume xlr down 32", "31000002");
    row("volume XLR Up 1", "31002102");
    row("mute rca on", "33000101");
    row("mute rca off", "33000001");
    row("play stop next", "20ffffff 22ffffff 23ffffff");
    row("folder 7 --seq spot 2 --x-in-rnd 4 volume all down 3 play", "020007ff 12000204 31001d00 20ffffff");
}

} // namespace

void SendTest::initTestCase()
{
    QVERIFY(runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
}

void SendTest::init()
{
    pty = std::make_unique<PtyPair>();
    QVERIFY(pty->isValid());
}

void SendTest::parsesCommands_data()
{
    addCommandRows();
}

void SendTest::parsesCommands()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, frames);
    const SendRequest request = parseSendArguments(QStringList{"--port", "/dev/ttyUSB0"} + arguments);
    QCOMPARE(request.error, QString());
    QCOMPARE(request.action, SendRequest::Action::Send);
    QCOMPARE(framesOf(request.commands).toHex(' '), frames.toHex(' '));
}

void SendTest::parsesLineOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("baudRate");

    QTest::newRow("default rate") << words("--port /dev/ttyUSB0 play") << "/dev/ttyUSB0" << 115200;
    QTest::newRow("slow rate") << words("--port /dev/ttyUSB0 --baud 9600 play") << "/dev/ttyUSB0" << 9600;
    QTest::newRow("14400") << words("--port COM3 --baud 14400 play") << "COM3" << 14400;
    QTest::newRow("with equals signs") << words("--port=COM3 --baud=57600 play") << "COM3" << 57600;
    QTest::newRow("options after the commands") << words("play --baud 19200 --port COM1") << "COM1" << 19200;
}

void SendTest::parsesLineOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, port);
    QFETCH(int, baudRate);
    const SendRequest request = parseSendArguments(arguments);
    QCOMPARE(request.error, QString());
    QCOMPARE(request.port, port);
    QCOMPARE(request.baudRate, baudRate);
    QCOMPARE(request.commands, QList<PlayerCommand>{PlayerCommand::transportCommand(Commands::Play)});
}

void SendTest::rejectsArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    const auto row = [](const char *arguments, const char *error) {
        QTest::newRow(arguments) << QStringList{"--port", "/dev/ttyUSB0"} + words(arguments)
                                 << QString::fromUtf8(error);
    };
    row("plya", "unknown command 'plya'");
    row("Plya", "unknown command 'Plya'");
    row("play 5", "unknown command '5'");
    row("folder 0", "folder 0 is out of range (1 to 999)");
    row("folder 1000", "folder 1000 is out of range (1 to 999)");
    row("folder -5", "folder -5 is out of range (1 to 999)");
    row("folder 99999999999", "folder 99999999999 is out of range (1 to 999)");
    row("folder", "folder needs a number from 1 to 999");
    row("folder --seq 3", "folder needs a number from 1 to 999");
    row("folder three", "folder: 'three' is not a number (1 to 999)");
    row("folder 3x", "folder: '3x' is not a number (1 to 999)");
    row("playlist 1000", "playlist 1000 is out of range (1 to 999)");
    row("spot 5 --x-in-seq 256", "--x-in-seq 256 is out of range (1 to 255)");
    row("spot 5 --x-in-rnd 0", "--x-in-rnd 0 is out of range (1 to 255)");
    row("spot 5 --x-in-seq", "--x-in-seq needs a number from 1 to 255");
    row("spot 5 --seq --x-in-seq 3", "spot takes only one of --seq, --x-in-rnd and --x-in-seq");
    row("spot 5 --reset", "--reset does not apply to spot");
    row("folder 5 --x-in-seq 3", "--x-in-seq does not apply to folder");
    row("play --seq", "--seq does not apply to play");
    row("--seq folder 3", "--seq must follow the command it belongs to");
    row("webradio 0", "webradio 0 is out of range (1 to 10)");
    row("webradio 11", "webradio 11 is out of range (1 to 10)");
    row("ftp 11", "ftp 11 is out of range (1 to 10)");
    row("source usb", "unknown source 'usb' (main, sd, ext-usb, int-usb, hdd, webradio or aux)");
    row("source", "source needs a name (main, sd, ext-usb, int-usb, hdd, webradio or aux)");
    row("volume xlr -65", "volume xlr -65 is out of range (-64 to 0)");
    row("volume xlr 1", "volume xlr 1 is out of range (-64 to 0)");
    row("volume all up 33", "volume all up 33 is out of range (1 to 32)");
    row("volume all down 0", "volume all down 0 is out of range (1 to 32)");
    row("volume all up", "volume all up needs a number from 1 to 32");
    row("volume main -3", "volume: unknown channel 'main' (all, xlr or rca)");
    row("volume", "volume needs a channel (all, xlr or rca)");
    row("mute rca", "mute rca needs on or off");
    row("mute rca yes", "mute rca needs on or off");
    row("play --verbose", "unknown option '--verbose'");
    row("--baud 12345 play", "baud rate 12345 is not supported (9600, 14400, 19200, 38400, 57600 or 115200)");
    row("play --port /dev/null", "--port given more than once");
    row("", "no command given");
    QTest::newRow("no port") << words("play") << "no port given (--port PORT)";
    QTest::newRow("device server without its number")
        << words("--port tcp://127.0.0.1 play")
        << "'tcp://127.0.0.1' is not a device server address (tcp://HOST:NUMBER)";
}

void SendTest::rejectsArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QCOMPARE(parseSendArguments(arguments).error, error);
}

void SendTest::helpNamesEveryCommand_data()
{
    QTest::addColumn<QString>("word");
    const char *const helpWords[] = {
        "--port", "--baud",   "--list-ports", "--help", "play",    "pause",      "stop",       "next",     "previous",
        "folder", "playlist", "spot",         "--seq",  "--reset", "--x-in-rnd", "--x-in-seq", "webradio", "ftp",
        "source", "volume",   "up|down",      "mute",   "on|off",  "main",       "sd",         "ext-usb",  "int-usb",
        "hdd",    "aux",      "all",          "xlr",    "rca",     "115200",     "14400"};
    for (const char *word : helpWords)
        QTest::newRow(word) << QString::fromUtf8(word);
}

void SendTest::helpNamesEveryCommand()
{
    QFETCH(QString, word);
    QVERIFY(sendUsage().contains(word));
}

// The words' breadth is parsesCommands'; through the program go a frame, one
// holding a line feed (which a terminal left in its usual mode would turn
// into CR LF) and several commands, which must arrive in order.
void SendTest::sendsFrames_data()
{
    addCommandRows({"play", "webradio 10", "folder 7 --seq spot 2 --x-in-rnd 4 volume all down 3 play"});
}

void SendTest::sendsFrames()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, frames);
    const ToolRun run = runTool(QStringLiteral(SEND_PATH), QStringList{"--port", pty->slavePath()} + arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.errors, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(pty->read(int(frames.size())).toHex(' '), frames.toHex(' '));
    QCOMPARE(pty->readRest(), QByteArray());
}

void SendTest::badArgumentsSendNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    // The faults come after good commands: those must not go out either.
    // Every fault's words are rejectsArguments'.
    QTest::newRow("unknown command") << words("play stop plya") << "unknown command 'plya'";
    QTest::newRow("unknown baud rate") << words("--baud 12345 play") << "baud rate 12345 is not supported";
}

void SendTest::badArgumentsSendNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const ToolRun run = runTool(QStringLiteral(SEND_PATH), QStringList{"--port", pty->slavePath()} + arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.errors.startsWith("tunaris-send: " + error.toUtf8()), run.errors.constData());
    QCOMPARE(run.output, QByteArray());
    QCOMPARE(pty->readRest(), QByteArray());
}

// clang-format off
void SendTest::unusablePortSaysWhy_data()
{
    QTest::addColumn<QString>("port");   // "pty": the test's pseudo-terminal
    QTest::addColumn<QString>("holder"); // of the port's lock file: "", "living" or "ended"
    QTest::addColumn<bool>("asNobody");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");  // "%1": the pseudo-terminal, "%2": this process, "%3": its group

    QTest::newRow("missing device") << "/dev/tunaris-no-such-port" << "" << false << 1
                                    << "Cannot open /dev/tunaris-no-such-port: no such port";
    // The library's own words follow.
    QTest::newRow("not a serial device") << "/dev/null" << "" << false << 1 << "Cannot open /dev/null: ";
    QTest::newRow("held by another program") << "pty" << "living" << false << 1
                                             << "%1 is in use by another program (tst_send, process %2)";
    QTest::newRow("lock left by an ended program") << "pty" << "ended" << false << 0 << "";
    QTest::newRow("user may not use the device") << "pty" << "" << true << 1
                                                 << "Cannot open %1: no permission (the user is not in the %3 group)";
    // Each opening makes a new pseudo-terminal that nobody reads; its other
    // names are tst_portnames'.
    QTest::newRow("pseudo-terminal multiplexer") << "/dev/ptmx" << "" << false << 1
                                                 << "Cannot open /dev/ptmx: it makes new pseudo-terminals, it is not a "
                                                    "serial port";
}
// clang-format on

void SendTest::unusablePortSaysWhy()
{
    QFETCH(QString, port);
    QFETCH(QString, holder);
    QFETCH(bool, asNobody);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    if (port == QLatin1String("pty"))
        port = pty->slavePath();
    error.replace(QLatin1String("%1"), pty->slavePath())
        .replace(QLatin1String("%2"), QString::number(QCoreApplication::applicationPid()))
        .replace(QLatin1String("%3"), QFileInfo(pty->slavePath()).group());

    QSerialPort living(pty->slavePath());
    if (holder == QLatin1String("living"))
        QVERIFY(living.open(QIODevice::WriteOnly));
    // A lock file in the old layout, naming a process that has ended.
    QFile lock(QStringLiteral("/var/lock/LCK..") + pty->slavePath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_')));
    if (holder == QLatin1String("ended")) {
        QProcess ended;
        ended.start(QStringLiteral("true"));
        QVERIFY(ended.waitForStarted());
        const qint64 pid = ended.processId();
        QVERIFY(ended.waitForFinished());
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(pid).rightJustified(10) + '\n');
        lock.close();
    }

    const QStringList command = {"--port", port, "play"};
    const QString program = QStringLiteral(SEND_PATH);
    // Without this run's runtime folder, which is not nobody's.
    const ToolRun run = asNobody ? runTool(QStringLiteral("setpriv"),
                                           QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", "env",
                                                       "-u", "XDG_RUNTIME_DIR", reachableByAnyUser(program)}
                                               + command)
                                 : runTool(program, command);
    lock.remove();
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == exitCode, run.errors.constData());
    if (exitCode == 0) {
        QCOMPARE(pty->read(4), QByteArray("\x20\xff\xff\xff", 4));
        return;
    }
    QVERIFY2(run.errors.startsWith("tunaris-send: " + error.toUtf8()), run.errors.constData());
    QVERIFY2(run.errors.trimmed().size() > QByteArray("tunaris-send: " + error.toUtf8()).trimmed().size()
                 || !error.endsWith(QLatin1Char(' ')),
             "the reason follows");
    QCOMPARE(pty->readRest(), QByteArray());
}

// clang-format off
void SendTest::deviceServerGetsTheFrames_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("behaviour");   // of the DeviceServer
    QTest::addColumn<QList<int>>("exitCodes"); // of tunaris-send; the first is the bridge's when it cannot start
    QTest::addColumn<QByteArray>("received"); // what the server read
    const QByteArray frames = QByteArray::fromHex("20ffffff 03012cff");
    QTest::newRow("IPv4") << "127.0.0.1" << "good" << QList<int>{0} << frames;
    QTest::newRow("IPv6") << "::1" << "good" << QList<int>{0} << frames;
    QTest::newRow("takes 2 bytes, then resets") << "127.0.0.1" << "resets after 2" << QList<int>{3} << frames.left(2);
    // Whether its system took the bytes before the close is a race: either
    // answer is true, success never is.
    QTest::newRow("closes at once") << "127.0.0.1" << "closes at once" << QList<int>{1, 3} << QByteArray();
    QTest::newRow("never reads") << "127.0.0.1" << "never reads" << QList<int>{3} << QByteArray();
    // Its end came first; whatever its system then took, it never read.
    QTest::newRow("ends its side at once, then resets") << "127.0.0.1" << "ends at once" << QList<int>{1, 3} << QByteArray();
    QTest::newRow("server down") << "127.0.0.1" << "down" << QList<int>{1} << QByteArray();
}
// clang-format on

void SendTest::deviceServerGetsTheFrames()
{
    QFETCH(QString, host);
    QFETCH(QString, behaviour);
    QFETCH(QList<int>, exitCodes);
    QFETCH(QByteArray, received);
    DeviceServerStub server(host, behaviour);
    QVERIFY(!server.portName.isEmpty());

    const ToolRun run =
        runTool(QStringLiteral(SEND_PATH), {"--port", server.portName, "play", "folder", "300", "--seq", "--reset"});
    QVERIFY2(exitCodes.contains(run.exitCode), run.errors.constData());
    const QByteArray port = server.portName.toUtf8();
    const QList<QByteArray> said[] = {
        {},
        {"tunaris-send: cannot reach " + port + ": ", "tunaris-send: " + port + ": 'play' was not sent: "},
        {}, // bad arguments: rejectsArguments'
        {"tunaris-send: " + port + ": the outcome of 'play' is unknown: "}};
    QVERIFY2(std::any_of(said[run.exitCode].begin(), said[run.exitCode].end(),
                         [&](const QByteArray &start) { return run.errors.startsWith(start); })
                 || (run.exitCode == 0 && run.errors.isEmpty()),
             run.errors.constData());
    if (run.exitCode == 3)
        QVERIFY2(run.errors.contains("do not send it again"), run.errors.constData());
    QTRY_COMPARE(server.received.toHex(' '), received.toHex(' '));
}

// The bridge gives the same answer for one command as tunaris-send's exit
// status says for several.
void SendTest::bridgeAnswersForTheDeviceServer_data()
{
    deviceServerGetsTheFrames_data();
}

void SendTest::bridgeAnswersForTheDeviceServer()
{
    QFETCH(QString, behaviour);
    QFETCH(QString, host);
    QFETCH(QList<int>, exitCodes);
    DeviceServerStub server(host, behaviour);
    QVERIFY(!server.portName.isEmpty());

    QProcess bridge;
    const quint16 port =
        startBridge(bridge, QStringLiteral(BRIDGE_PATH), {"--port", server.portName, "--listen", "127.0.0.1:0"});
    // A server that cannot be reached is reported at once.
    const bool unreachable = behaviour == QLatin1String("down");
    if (port == 0) {
        QVERIFY(bridge.state() == QProcess::NotRunning || bridge.waitForFinished(10000));
        QVERIFY2(unreachable && bridge.exitCode() != 0, bridge.readAllStandardError().constData());
        return;
    }
    const auto stopBridge = qScopeGuard([&] {
        bridge.terminate();
        bridge.waitForFinished(10000);
    });
    QVERIFY(!unreachable);

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(10000));
    client.write("play\n");
    QVERIFY(QTest::qWaitFor([&] { return client.canReadLine(); }, 10000));
    const QByteArray answer = client.readLine().trimmed();
    const QByteArray word = answer.left(answer.indexOf(' '));
    QList<int> meant;
    if (word == "ok")
        meant << 0;
    if (word == "error")
        meant << 1;
    if (word == "unknown")
        meant << 3;
    QVERIFY2(meant.size() == 1 && exitCodes.contains(meant.first()), answer.constData());
    if (word == "ok")
        QCOMPARE(answer, QByteArray("ok 20 ff ff ff"));
    if (exitCodes == QList<int>{0})
        QTRY_COMPARE(server.received.toHex(' '), QByteArray("20 ff ff ff"));
}

void SendTest::everyFrameLeavesBeforeExit()
{
    // Far more than one write hands over at once, at the slowest rate.
    QStringList arguments = {"--port", pty->slavePath(), "--baud", "9600"};
    QByteArray expected;
    for (int folder = 1; folder <= 999; ++folder) {
        arguments << "folder" << QString::number(folder);
        expected += frameBytes(Commands::loadFolder(folder, Commands::LoadMode::Random, false));
    }
    QProcess sender;
    sender.start(QStringLiteral(SEND_PATH), arguments);
    // Read while it writes: the pseudo-terminal holds only a few kilobytes.
    const QByteArray received = pty->read(int(expected.size()), 30000);
    QVERIFY(sender.waitForFinished(30000));
    QCOMPARE(sender.exitCode(), 0);
    QCOMPARE(received.size(), expected.size());
    QCOMPARE(received, expected);
    QCOMPARE(pty->readRest(), QByteArray());
}

// clang-format off
void SendTest::ownerFailuresAreToldApart_data()
{
    // The owner is the real bridge holding the port, stopped, or a stand-in
    // that answers line by line as `answers` says ("kill": kill -9 instead).
    // Its clients: tunaris-send, and the bridge's delivery as a second
    // bridge uses it; beside a stopped owner both wait out the deadline at once.
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<int>("exitCode");     // of tunaris-send; -1: not a client
    QTest::addColumn<QString>("message");  // of tunaris-send ("%1": the port)
    QTest::addColumn<QString>("outcomes"); // of the delivery's commands; empty: not a client

    const QString unknown = QStringLiteral("tunaris-send: %1: the outcome of '%2' is unknown: %3; it may have gone "
                                           "out, so do not send it again without checking the player\n");
    const QString stopped = QStringLiteral("the port's owner did not answer within 15 s");
    const QString died = QStringLiteral("the port's owner closed the connection without answering");
    const QStringList killed = {"ok 20 ff ff ff", "kill"};
    QTest::newRow("stopped past the deadline") << QStringList() << 3
        << unknown.arg("%1", "play", stopped) + "tunaris-send: sent: nothing; unknown: play; not sent: stop, next\n"
        << "unknown";
    // After a command that went out, the next two went to the owner at once.
    QTest::newRow("killed after taking the line") << killed << 3
        << unknown.arg("%1", "stop", died) + "tunaris-send: sent: play; unknown: stop, next\n" << "";
    QTest::newRow("closed with its answers")
        << QStringList{"ok 20 ff ff ff", "error not sent: the port closed", "error not sent: the port closed"}
        << 1 << "tunaris-send: %1: 'stop' was not sent: the port closed\ntunaris-send: sent: play; not sent: stop, next\n"
        << "";
}
// clang-format on

void SendTest::ownerFailuresAreToldApart()
{
    QFETCH(QStringList, answers);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, outcomes);
    const bool bySend = exitCode >= 0;
    const QString endpoint = portEndpointName(pty->slavePath());
    QProcess owner;
    if (answers.isEmpty()) {
        QVERIFY(
            startBridge(owner, QStringLiteral(BRIDGE_PATH), {"--port", pty->slavePath(), "--listen", "127.0.0.1:0"}));
        QVERIFY(signalProcess(owner, SIGSTOP));
    } else {
        QVERIFY(QDir().mkpath(QFileInfo(endpoint).path()));
        QVERIFY(
            QFile::setPermissions(QFileInfo(endpoint).path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        owner.start(QStringLiteral("nc"), {"-lU", endpoint});
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(endpoint); }, answerMs));
    }

    const QStringList commands = {"play", "stop", "next"};
    QProcess send;
    if (bySend)
        send.start(QStringLiteral(SEND_PATH), QStringList{"--port", pty->slavePath()} + commands);
    for (const QString &answer : answers) {
        QVERIFY(QTest::qWaitFor([&] { return owner.canReadLine(); }, answerMs));
        owner.readLine();
        if (answer == QLatin1String("kill"))
            QVERIFY(signalProcess(owner, SIGKILL));
        else
            owner.write(answer.toUtf8() + '\n');
    }
    QVERIFY(QTest::qWaitFor([&] { return !bySend || send.state() == QProcess::NotRunning; },
                            OwnerLink::AnswerWithinMs + answerMs));
    signalProcess(owner, SIGCONT);
    owner.kill();
    owner.waitForFinished();
    QFile::remove(endpoint);
    if (bySend) {
        QCOMPARE(QString::fromUtf8(send.readAllStandardError()), message.arg(pty->slavePath()));
        QCOMPARE(send.exitCode(), exitCode);
    }
    // Nobody sent anything again on the port itself.
    if (!answers.isEmpty())
        QCOMPARE(pty->readRest(), QByteArray());
}

// clang-format off
void SendTest::runtimeFolderAttacksSendNothing_data()
{
    // Scripts run as root with F the folder where a job without a session
    // looks ($TMPDIR/tunaris-console-<uid>), T that TMPDIR (open to all, as
    // /tmp is), E the endpoint's name; $NOBODY runs a command as nobody, who
    // listens where the commands would go and keeps what reaches it in T/got.
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("attack");
    QTest::addColumn<QString>("error"); // "%1": F, "%2": E

    const QString listen = QStringLiteral("$NOBODY nc -lU \"%1\" >\"$T/got\" & echo $! >\"$T/pid\"; listening \"%1\"; ");
    const QString theirs = QStringLiteral("%1 is not a private folder of this user: it belongs to user nobody (65534)");
    QTest::newRow("the folder made first by nobody")
        << "send" << "$NOBODY mkdir -m 0700 \"$F\"; " + listen.arg("$F/$E") << theirs;
    QTest::newRow("a link to nobody's folder")
        << "send" << "$NOBODY mkdir -m 0700 \"$T/mine\"; " + listen.arg("$T/mine/$E") + "$NOBODY ln -s \"$T/mine\" \"$F\""
        << "%1 is not a private folder of this user: it is a symbolic link";
    QTest::newRow("the folder open to all") << "send" << "mkdir -m 0777 \"$F\"; " + listen.arg("$F/$E")
        << "%1 is not a private folder of this user: group or others may enter it (mode 0777)";
    QTest::newRow("a socket there served by nobody")
        << "send" << "mkdir -m 0700 \"$F\"; " + listen.arg("$T/trap") + "mv \"$T/trap\" \"$F/$E\""
        << "%1/%2 is served by user nobody (65534), not by this user";
    QTest::newRow("the bridge, the folder made first by nobody")
        << "bridge" << "$NOBODY mkdir -m 0700 \"$F\"; " + listen.arg("$F/$E") << theirs;
}
// clang-format on

void SendTest::runtimeFolderAttacksSendNothing()
{
    QFETCH(QString, tool);
    QFETCH(QString, attack);
    QFETCH(QString, error);
    QTemporaryDir temporary; // the job's TMPDIR
    QTemporaryDir runUser;   // stands for /run/user, where this user has no folder
    QVERIFY(temporary.isValid() && runUser.isValid());
    QCOMPARE(::chmod(QFile::encodeName(temporary.path()).constData(), 01777), 0);
    const QString folder = temporary.filePath(QStringLiteral("tunaris-console-%1").arg(::geteuid()));
    const QString name = QFileInfo(portEndpointName(pty->slavePath())).fileName();

    const QString prepare =
        QStringLiteral("F=$1 T=$2 E=$3 NOBODY='setpriv --reuid=nobody --regid=nogroup --clear-groups'; "
                       "listening() { for i in $(seq 100); do [ -S \"$1\" ] && return; sleep 0.05; done; }; ");
    const ToolRun attacker =
        runTool(QStringLiteral("sh"), {"-c", prepare + attack, "sh", folder, temporary.path(), name});
    QCOMPARE(attacker.errors, QByteArray());
    QFile pidFile(temporary.filePath(QStringLiteral("pid")));
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const pid_t attackerPid = pid_t(pidFile.readAll().trimmed().toLongLong());
    QVERIFY(attackerPid > 0);

    const bool bridge = tool == QLatin1String("bridge");
    const QStringList job =
        asSchedulerJob(runUser.path())
        + QStringList{"TMPDIR=" + temporary.path(), bridge ? QStringLiteral(BRIDGE_PATH) : QStringLiteral(SEND_PATH),
                      "--port", pty->slavePath()}
        + (bridge ? QStringList{"--listen", "127.0.0.1:0"} : QStringList{"play"});
    const ToolRun run = runTool(job.first(), job.mid(1));
    ::kill(attackerPid, SIGKILL);
    QFile got(temporary.filePath(QStringLiteral("got")));
    QVERIFY(got.open(QIODevice::ReadOnly));
    QCOMPARE(got.readAll(), QByteArray());
    QCOMPARE(pty->readRest(), QByteArray());
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(QString::fromUtf8(run.errors),
             QStringLiteral("%1: %2\n")
                 .arg(bridge ? "tunaris-bridge" : "tunaris-send",
                      error.replace(QLatin1String("%1"), folder).replace(QLatin1String("%2"), name)));
}

void SendTest::listsPorts()
{
    const ToolRun run = runTool(QStringLiteral(SEND_PATH), {"--list-ports"});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QStringList listed;
    for (const QByteArray &line : run.output.split('\n')) {
        if (!line.isEmpty())
            listed << QString::fromLocal8Bit(line).section(QLatin1String("  "), 0, 0);
    }
    QStringList available;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        available << info.systemLocation();
    QCOMPARE(listed, available);
}

// Every program answers --help and --version in one form, wherever the
// option stands, at once and sending nothing: the console too, without a
// display (its application object would abort there).
void SendTest::answersHelpAndVersion_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments"); // "PTY": the test's device

    const std::pair<const char *, const char *> programs[] = {{"tunaris-send", SEND_PATH},
                                                              {"tunaris-monitor", MONITOR_PATH},
                                                              {"tunaris-bridge", BRIDGE_PATH},
                                                              {"tunaris-console", CONSOLE_PATH}};
    for (const auto &[name, path] : programs) {
        for (const char *option : {"--help", "-h", "--version"})
            QTest::addRow("%s %s", name, option) << path << QStringList{option};
    }
    QTest::newRow("tunaris-send, help among commands") << SEND_PATH << QStringList{"--port", "PTY", "play", "--help"};
    QTest::newRow("tunaris-bridge, version after its port")
        << BRIDGE_PATH << QStringList{"--port", "PTY", "--listen", "127.0.0.1:0", "--version"};
}

void SendTest::answersHelpAndVersion()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    arguments.replaceInStrings(QStringLiteral("PTY"), pty->slavePath());
    const QString name = QFileInfo(program).fileName();
    const ToolRun run =
        runTool(QStringLiteral("env"),
                QStringList{"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", program} + arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.errors, QByteArray());
    const QString output = QString::fromUtf8(run.output);
    if (arguments.contains(QLatin1String("--version"))) {
        QCOMPARE(output, QStringLiteral("%1 (Tunaris - Serial Console) %2\n").arg(name, TUNARIS_VERSION));
    } else {
        QVERIFY2(output.startsWith(QStringLiteral("Usage: %1 ").arg(name)), qPrintable(output));
        for (const char *part : {"\n\nOptions:\n", "\n  -h, --help            show this help and exit\n",
                                 "\n  --version             show the version and exit\n", "\nExit status:\n  0  "})
            QVERIFY2(output.contains(QLatin1String(part)), part);
        for (const QString &line : output.split(QLatin1Char('\n')))
            QVERIFY2(!line.endsWith(QLatin1Char(' ')), qPrintable(line));
    }
    QCOMPARE(pty->readRest(), QByteArray());
}

QTEST_GUILESS_MAIN(SendTest)
#include "tst_send.moc"
