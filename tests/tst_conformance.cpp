// The delivery contract, door by door and way by way, with real programs:
// a bridge's TCP lines, web remote and broker (a real Mosquitto), and the
// endpoint of the program that holds the port; the port held by the bridge itself, by a console or a
// bridge it goes through, or a serial device server behind it; clients that
// send three commands at once and then end their sending or go away; and
// an owner that stops or dies under them. Whatever happens: every line gets
// one answer, every "ok" is on the wire once and in order, and nothing
// answered "error" is on the wire.
#include "base/configurationfile.h"
#include "link/ownerlink.h"
#include "link/portendpoint.h"
#include "tests/support/brokerprocess.h"
#include "tests/support/deviceserverstub.h"
#include "tests/support/ptypair.h"
#include "tests/support/toolrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>
#include <sys/socket.h>

namespace {

constexpr int answerMs = 5000;
const QByteArray commands = "play\nstop\nnext\n";
const QList<QByteArray> frames = {QByteArray("\x20\xff\xff\xff", 4), QByteArray("\x22\xff\xff\xff", 4),
                                  QByteArray("\x23\xff\xff\xff", 4)};
const QByteArrayList allOk = {"ok 20 ff ff ff", "ok 22 ff ff ff", "ok 23 ff ff ff"};

} // namespace

class ConformanceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void everyDoorKeepsTheContract_data();
    void everyDoorKeepsTheContract();

private:
    bool startOwner(const QString &kind);
    quint16 startDoor(const QString &port, const QString &door);
    QByteArrayList overBroker(bool waits);
    QByteArrayList exchange(QIODevice &client, qintptr descriptor, const QByteArray &request, bool halfClose);
    QByteArrayList overWeb(quint16 port, bool halfClose);

    QTemporaryDir scratch;
    QProcessEnvironment environment;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<DeviceServerStub> deviceServer;
    std::unique_ptr<QProcess> owner;
    std::unique_ptr<QProcess> door;
    Broker broker;
    quint16 brokerPort = 0;
};

void ConformanceTest::initTestCase()
{
    QVERIFY(scratch.isValid());
    const QString runtime = scratch.filePath(QStringLiteral("runtime"));
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), scratch.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), scratch.filePath(QStringLiteral("state")));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
}

void ConformanceTest::init()
{
    pty = std::make_unique<PtyPair>();
    QVERIFY(pty->isValid());
}

void ConformanceTest::cleanup()
{
    for (std::unique_ptr<QProcess> *process : {&door, &owner}) {
        if (*process) {
            signalProcess(**process, SIGCONT);
            (*process)->kill();
            (*process)->waitForFinished();
            process->reset();
        }
    }
    deviceServer.reset();
    pty.reset();
}

// The program that holds the port, until its endpoint is there: the console
// (started as a user starts it, connecting to its saved port) or a bridge.
bool ConformanceTest::startOwner(const QString &kind)
{
    owner = std::make_unique<QProcess>();
    owner->setProcessEnvironment(environment);
    // One that an owner killed in an earlier row left behind.
    QFile::remove(portEndpointName(pty->slavePath()));
    if (kind == QLatin1String("console")) {
        // A copy of its own, whose settings file beside it names the port.
        const QString folder = scratch.filePath(QStringLiteral("console"));
        QDir().mkpath(folder);
        const QString program = folder + QStringLiteral("/tunaris-console");
        QFile::remove(program);
        if (!QFile::copy(QStringLiteral(CONSOLE_PATH), program))
            return false;
        Configuration settings;
        settings.port = pty->slavePath();
        settings.baudRate = QStringLiteral("115200");
        settings.autoConnect = true;
        if (!writeConfigurationFile(folder + QStringLiteral("/Tunaris - Serial Console.cfg"), settings))
            return false;
        owner->start(program, {});
    } else {
        owner->start(QStringLiteral(BRIDGE_PATH), {"--port", pty->slavePath(), "--listen", "127.0.0.1:0"});
    }
    return QTest::qWaitFor([&] { return QFileInfo::exists(portEndpointName(pty->slavePath())); }, 10000);
}

// The bridge whose doors are under test, delivering to `port`.
quint16 ConformanceTest::startDoor(const QString &port, const QString &kind)
{
    door = std::make_unique<QProcess>();
    door->setProcessEnvironment(environment);
    QStringList options = {"--port", port, kind == QLatin1String("web") ? "--web" : "--listen", "127.0.0.1:0"};
    if (kind == QLatin1String("broker")) {
        if (brokerPort == 0) {
            brokerPort = freePort();
            if (!broker.start(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(brokerPort)))
                return 0;
        }
        options << "--mqtt" << QStringLiteral("mqtt://127.0.0.1:%1").arg(brokerPort) << "--player"
                << QStringLiteral("conformance");
    }
    const quint16 listening = startBridge(*door, QStringLiteral(BRIDGE_PATH), options);
    if (kind == QLatin1String("broker")
        && !QTest::qWaitFor([&] { return door->peek(1 << 16).contains("taking the commands of"); }, answerMs))
        return 0;
    return listening;
}

// The three commands from the office: tunaris-send's requests, each answered
// on its reply topic, the next only after the last went out; or, from a
// client that does not wait, three plain publishes answered to nobody.
QByteArrayList ConformanceTest::overBroker(bool waits)
{
    const QString url = QStringLiteral("mqtt://127.0.0.1:%1").arg(brokerPort);
    if (!waits) {
        for (const QByteArray &command : commands.trimmed().split('\n')) {
            runTool(QStringLiteral("mosquitto_pub"),
                    {"-p", QString::number(brokerPort), "-V", "mqttv5", "-q", "1", "-t",
                     "tunaris/players/conformance/command", "-m", QString::fromLatin1(command)});
        }
        return {};
    }
    const ToolRun run =
        runTool(QStringLiteral(SEND_PATH), {"--mqtt", url, "--player", "conformance", "play", "stop", "next"});
    QByteArrayList answers;
    for (const QByteArray &line : run.output.trimmed().split('\n'))
        answers << line.mid(line.indexOf(": ") + 2);
    return answers;
}

// Sends the three commands in one write; then ends its sending and reads
// every answer to the end, or goes away at once.
QByteArrayList ConformanceTest::exchange(QIODevice &client, qintptr descriptor, const QByteArray &request,
                                         bool halfClose)
{
    client.write(request);
    while (client.bytesToWrite() > 0 && client.waitForBytesWritten(answerMs)) {}
    if (!halfClose) {
        client.close();
        return {};
    }
    ::shutdown(int(descriptor), SHUT_WR);
    QByteArray answers;
    (void)QTest::qWaitFor(
        [&] {
            answers += client.readAll();
            return !client.isOpen() || answers.count('\n') >= 3
                   || (qobject_cast<QAbstractSocket *>(&client)
                       && static_cast<QAbstractSocket &>(client).state() == QAbstractSocket::UnconnectedState)
                   || (qobject_cast<QLocalSocket *>(&client)
                       && static_cast<QLocalSocket &>(client).state() == QLocalSocket::UnconnectedState);
        },
        OwnerLink::AnswerWithinMs + answerMs);
    answers += client.readAll();
    return answers.trimmed().split('\n');
}

// The remote's three commands as three requests on one connection, the way
// a page's taps follow one another, each with the key and the page's origin.
QByteArrayList ConformanceTest::overWeb(quint16 port, bool halfClose)
{
    QFile keyFile(scratch.filePath(QStringLiteral("config/tunaris-bridge/web-key")));
    if (!keyFile.open(QIODevice::ReadOnly))
        return {"no key file"};
    const QByteArray key = keyFile.readAll().trimmed();
    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    QByteArray requests;
    for (const QByteArray &command : commands.trimmed().split('\n')) {
        requests += "POST /command HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host
                    + "\r\nCookie: tunaris_key=" + key + "\r\nContent-Length: " + QByteArray::number(command.size())
                    + "\r\n\r\n" + command;
    }
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!client.waitForConnected(answerMs))
        return {"not connected"};
    client.write(requests);
    while (client.bytesToWrite() > 0 && client.waitForBytesWritten(answerMs)) {}
    if (!halfClose) {
        client.close();
        return {};
    }
    QByteArray responses;
    (void)QTest::qWaitFor(
        [&] {
            responses += client.readAll();
            return responses.count("\r\n\r\n") >= 3 && responses.endsWith('\n');
        },
        OwnerLink::AnswerWithinMs + answerMs);
    // The bodies: each an answer line after its headers.
    QByteArrayList answers;
    for (const QByteArray &part : responses.split('\n')) {
        const QByteArray line = part.trimmed();
        if (line.startsWith("ok ") || line.startsWith("error ") || line.startsWith("unknown "))
            answers << line;
    }
    return answers;
}

// clang-format off
void ConformanceTest::everyDoorKeepsTheContract_data()
{
    QTest::addColumn<QString>("door");   // tcp, web, broker, endpoint (the owner's own)
    QTest::addColumn<QString>("route");  // port: the bridge holds it; console, bridge: it goes through that owner; device server
    QTest::addColumn<bool>("halfClose"); // the client reads its answers after ending its sending; else it goes away
    QTest::addColumn<QString>("fault");  // of the owner: stopped past the answers' deadline, killed holding a command
    QTest::addColumn<QByteArrayList>("answers"); // each a prefix of its answer; none: the client went away

    // The next command waits for the line no longer than any other, and the
    // one after it follows the one that did not go out.
    const QByteArrayList stoppedOwner = {"unknown the port's owner did not answer within 15 s",
                                         "error not sent: the line had no room for 6 s",
                                         "error not sent: an earlier command from this client did not go out"};
    const QByteArrayList killedOwner = {"unknown the port's owner closed the connection without answering",
                                        "error not sent: an earlier command from this client did not go out",
                                        "error not sent: an earlier command from this client did not go out"};
    QTest::newRow("tcp, port, half-closed") << "tcp" << "port" << true << "" << allOk;
    QTest::newRow("tcp, console, half-closed") << "tcp" << "console" << true << "" << allOk;
    QTest::newRow("tcp, bridge, half-closed") << "tcp" << "bridge" << true << "" << allOk;
    QTest::newRow("tcp, device server, half-closed") << "tcp" << "device server" << true << "" << allOk;
    QTest::newRow("tcp, port, gone") << "tcp" << "port" << false << "" << QByteArrayList();
    QTest::newRow("tcp, console, gone") << "tcp" << "console" << false << "" << QByteArrayList();
    QTest::newRow("tcp, console stopped") << "tcp" << "console" << true << "stopped" << stoppedOwner;
    QTest::newRow("tcp, console killed") << "tcp" << "console" << true << "killed" << killedOwner;
    QTest::newRow("web, port") << "web" << "port" << true << "" << allOk;
    QTest::newRow("web, console") << "web" << "console" << true << "" << allOk;
    QTest::newRow("web, port, gone") << "web" << "port" << false << "" << QByteArrayList();
    QTest::newRow("endpoint, console, half-closed") << "endpoint" << "console" << true << "" << allOk;
    QTest::newRow("endpoint, bridge, half-closed") << "endpoint" << "bridge" << true << "" << allOk;
    QTest::newRow("endpoint, console, gone") << "endpoint" << "console" << false << "" << QByteArrayList();
#if defined(CONFORMANCE_BROKER)
    QTest::newRow("broker, port") << "broker" << "port" << true << "" << allOk;
    QTest::newRow("broker, console") << "broker" << "console" << true << "" << allOk;
    QTest::newRow("broker, port, gone") << "broker" << "port" << false << "" << QByteArrayList();
#endif
}
// clang-format on

void ConformanceTest::everyDoorKeepsTheContract()
{
    QFETCH(QString, door);
    QFETCH(QString, route);
    QFETCH(bool, halfClose);
    QFETCH(QString, fault);
    QFETCH(QByteArrayList, answers);

    QString port = pty->slavePath();
    if (route == QLatin1String("console") || route == QLatin1String("bridge")) {
        QVERIFY2(startOwner(route), "the owner did not serve its endpoint");
    } else if (route == QLatin1String("device server")) {
        deviceServer = std::make_unique<DeviceServerStub>(QStringLiteral("127.0.0.1"), QStringLiteral("good"));
        port = deviceServer->portName;
    }
    quint16 doorPort = 0;
    if (door != QLatin1String("endpoint")) {
        doorPort = startDoor(port, door);
        QVERIFY2(doorPort > 0, this->door->readAllStandardError().constData());
    }
    if (fault == QLatin1String("stopped") || fault == QLatin1String("killed"))
        QVERIFY(signalProcess(*owner, SIGSTOP));
    if (fault == QLatin1String("killed")) {
        // Once the bridge has handed it the first command.
        QTimer::singleShot(1000, owner.get(), [this] { signalProcess(*owner, SIGKILL); });
    }

    QByteArrayList got;
    if (door == QLatin1String("web")) {
        got = overWeb(doorPort, halfClose);
    } else if (door == QLatin1String("broker")) {
        got = overBroker(halfClose);
    } else if (door == QLatin1String("tcp")) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, doorPort);
        QVERIFY(client.waitForConnected(answerMs));
        got = exchange(client, client.socketDescriptor(), commands, halfClose);
    } else {
        QLocalSocket client;
        client.connectToServer(portEndpointName(pty->slavePath()));
        QVERIFY(client.waitForConnected(answerMs));
        got = exchange(client, client.socketDescriptor(), commands, halfClose);
    }
    if (owner)
        signalProcess(*owner, SIGCONT);

    // On the wire (or at the device server), in order, once each: the
    // commands answered "ok", and perhaps those whose outcome is unknown.
    QByteArray wire;
    if (deviceServer)
        (void)QTest::qWaitFor([&] { return deviceServer->received.size() >= 12; }, answerMs);
    else
        wire = pty->readRest(answers.isEmpty() || answers.first().startsWith("ok") ? 500 : 1500);
    if (deviceServer)
        wire = deviceServer->received;
    if (answers.isEmpty()) {
        QCOMPARE(wire.toHex(' '), (frames[0] + frames[1] + frames[2]).toHex(' '));
        return;
    }
    QCOMPARE(got.size(), answers.size());
    QByteArray expected;
    for (int i = 0; i < answers.size(); ++i) {
        QVERIFY2(got.at(i).startsWith(answers.at(i)), got.at(i).constData());
        if (got.at(i).startsWith("ok"))
            expected += frames.at(i);
        else if (got.at(i).startsWith("unknown") && wire.startsWith(expected + frames.at(i)))
            expected += frames.at(i);
    }
    QCOMPARE(wire.toHex(' '), expected.toHex(' '));
}

QTEST_GUILESS_MAIN(ConformanceTest)
#include "tst_conformance.moc"
