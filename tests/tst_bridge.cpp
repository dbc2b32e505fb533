// tunaris-bridge as the program it is: started on a pseudo-terminal (or
// beside a console window that holds it), fed over TCP and UDP on loopback
// addresses only, its far end read byte for byte.
#include "app/mainwindow.h"
#include "base/identity.h"
#include "link/commandintake.h"
#include "link/commandlistener.h"
#include "link/linesession.h"
#include "link/playerlink.h"
#include "tests/support/ptypair.h"
#include "tests/support/toolrun.h"
#include "tests/window/windowtesting.h"
#include "tools/bridge/bridgecommandline.h"

#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <memory>

class BridgeTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void clientsServedOrRefused_data();
    void clientsServedOrRefused();
    void hostileLinesSendNothing_data();
    void hostileLinesSendNothing();
    void seventeenthClientIsTurnedAway();
    void deliversThroughTheConsole();
    void readmeButtonLine();
    void refusesToStartUnsafely();
    void addressForms_data();
    void addressForms();
    void argumentChecks_data();
    void argumentChecks();
    void startReport_data();
    void startReport();
    void datagramsAfterABurst_data();
    void datagramsAfterABurst();
    void slowClientsCannotLockOthersOut_data();
    void slowClientsCannotLockOthersOut();

private:
    // Starts the bridge on the test's device; returns the port it listens on.
    quint16 startBridge(const QStringList &options);
    QByteArray line(QTcpSocket &client, const QByteArray &bytes);

    QTemporaryDir runtime;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<QProcess> bridge;
};

namespace {

constexpr int answerMs = 5000;

} // namespace

void BridgeTest::initTestCase()
{
    setApplicationIdentity();
    QVERIFY(runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    listPorts({});
}

void BridgeTest::init()
{
    pty = std::make_unique<PtyPair>();
    QVERIFY(pty->isValid());
}

void BridgeTest::cleanup()
{
    if (bridge) {
        bridge->terminate();
        bridge->waitForFinished(answerMs);
    }
    bridge.reset();
    pty.reset();
}

quint16 BridgeTest::startBridge(const QStringList &options)
{
    bridge = std::make_unique<QProcess>();
    return ::startBridge(*bridge, QStringLiteral(BRIDGE_PATH), QStringList{"--port", pty->slavePath()} + options);
}

QByteArray BridgeTest::line(QTcpSocket &client, const QByteArray &bytes)
{
    client.write(bytes);
    if (!QTest::qWaitFor([&] { return client.canReadLine() || client.state() != QTcpSocket::ConnectedState; },
                         answerMs))
        return "no answer";
    return client.readLine().trimmed(); // empty when closed without an answer
}

// Both kinds of socket in both families, each client served or refused at
// once by the networks allowed. [::], as the README writes it, serves IPv4
// clients too, matched as the IPv4 address they are whether the network is
// given in IPv4 or mapped form.
// clang-format off
void BridgeTest::clientsServedOrRefused_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QString>("listen"); // an IPv4 client reaches [::]
    QTest::addColumn<QString>("allow");  // with ::1 beside it
    QTest::addColumn<QString>("from");   // the client's own address
    QTest::addColumn<QByteArray>("ending"); // every ending is tst_commandline's
    QTest::addColumn<bool>("admitted");

    QTest::newRow("TCP 127.0.0.1, LF") << false << "127.0.0.1" << "127.0.0.1/32" << "127.0.0.1" << QByteArray("\n") << true;
    QTest::newRow("TCP ::1, CR LF") << false << "::1" << "127.0.0.1/32" << "::1" << QByteArray("\r\n") << true;
    QTest::newRow("UDP ::1, CR") << true << "::1" << "127.0.0.1/32" << "::1" << QByteArray("\r") << true;
    QTest::newRow("UDP 127.0.0.1, no ending") << true << "127.0.0.1" << "127.0.0.1/32" << "127.0.0.1" << QByteArray() << true;
    for (const bool udp : {false, true}) {
        const char *kind = udp ? "UDP" : "TCP";
        QTest::addRow("%s from a refused address", kind) << udp << "127.0.0.1" << "127.0.0.1/32" << "127.0.0.2"
                                                         << QByteArray("\n") << false;
        QTest::addRow("%s on [::], IPv4 network", kind) << udp << "::" << "127.0.0.0/8" << "127.0.0.2"
                                                        << QByteArray("\n") << true;
        QTest::addRow("%s on [::], mapped address", kind) << udp << "::" << "::ffff:127.0.0.2" << "127.0.0.2"
                                                          << QByteArray("\n") << true;
        QTest::addRow("%s on [::], another mapped address", kind) << udp << "::" << "::ffff:127.0.0.3" << "127.0.0.2"
                                                                  << QByteArray("\n") << false;
    }
}
// clang-format on

void BridgeTest::clientsServedOrRefused()
{
    QFETCH(bool, udp);
    QFETCH(QString, listen);
    QFETCH(QString, allow);
    QFETCH(QString, from);
    QFETCH(QByteArray, ending);
    QFETCH(bool, admitted);
    const QString address = listen.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:0").arg(listen) : listen + ":0";
    QStringList options = {"--listen", address, "--allow", allow, "--allow", "::1"};
    if (udp)
        options << "--udp";
    const quint16 port = startBridge(options);
    QVERIFY(port > 0);
    const QHostAddress to(listen == QLatin1String("::") ? QStringLiteral("127.0.0.1") : listen);

    const QByteArray commands[] = {"spot 5 --x-in-seq 3", "folder 300 --seq --reset"};
    if (udp) {
        QUdpSocket client;
        QVERIFY(client.bind(QHostAddress(from), 0));
        for (const QByteArray &command : commands)
            QVERIFY(client.writeDatagram(command + ending, to, port) > 0);
    } else {
        QTcpSocket client;
        QVERIFY(client.bind(QHostAddress(from), 0));
        client.connectToHost(to, port);
        // A refused client is closed at once, without a word: so soon that
        // its reset may come before the connection is seen to be made.
        QVERIFY(client.waitForConnected(answerMs) || !admitted);
        QCOMPARE(line(client, commands[0] + ending), admitted ? QByteArray("ok 14 00 05 03") : QByteArray());
        QCOMPARE(line(client, commands[1] + ending), admitted ? QByteArray("ok 03 01 2c ff") : QByteArray());
    }
    if (!admitted) {
        QTRY_VERIFY_WITH_TIMEOUT(bridge->peek(1 << 16).contains("from 127.0.0.2: not in an allowed network"), answerMs);
        QCOMPARE(pty->readRest(), QByteArray());
        return;
    }
    QCOMPARE(pty->read(8).toHex(' '), QByteArray("14 00 05 03 03 01 2c ff"));
    QCOMPARE(pty->readRest(), QByteArray());
}

void BridgeTest::hostileLinesSendNothing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("reply"); // empty: the client leaves without one

    // The endpoint's tests go through the rest of what both services refuse,
    // tst_commandline through every rule of a line.
    QTest::newRow("1 MiB without a line end")
        << QByteArray(1 << 20, 'a') << QByteArray("error line longer than 256 bytes");
    QTest::newRow("binary garbage") << QByteArray("pl\x80\xff\n", 5)
                                    << QByteArray("error line holds bytes that are not text");
}

void BridgeTest::hostileLinesSendNothing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, reply);
    const quint16 port = startBridge({"--listen", "127.0.0.1:0"});
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(answerMs));
        if (reply.isEmpty()) {
            client.write(bytes);
            QVERIFY(client.waitForBytesWritten(answerMs));
        } else {
            QCOMPARE(line(client, bytes), reply);
        }
    }
    QTest::qWait(100);
    QCOMPARE(pty->readRest(), QByteArray());
    QTcpSocket next;
    next.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(next.waitForConnected(answerMs));
    QCOMPARE(line(next, "play\n"), QByteArray("ok 20 ff ff ff"));
    QCOMPARE(pty->read(4), QByteArray("\x20\xff\xff\xff", 4));
}

// Clients that sent their commands keep their slots: with all of them
// taken, a newcomer is turned away, from another address or from a full one.
void BridgeTest::seventeenthClientIsTurnedAway()
{
    const quint16 port = startBridge({"--listen", "127.0.0.1:0", "--allow", "127.0.0.0/8"});
    const auto connectFrom = [&](int host) {
        auto client = std::make_unique<QTcpSocket>();
        client->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(host)), 0);
        client->connectToHost(QHostAddress::LocalHost, port);
        return client->waitForConnected(answerMs) ? std::move(client) : nullptr;
    };
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < CommandListener::MaxTcpClients; ++i) {
        clients.push_back(connectFrom(2 + i % 4));
        QVERIFY(clients.back());
        QCOMPARE(line(*clients.back(), "play\n"), QByteArray("ok 20 ff ff ff"));
    }
    for (const int host : {9, 2}) {
        const auto late = connectFrom(host);
        QVERIFY(late);
        QCOMPARE(line(*late, "play\n"), QByteArray("error too many clients, try again"));
    }
    QCOMPARE(line(*clients.front(), "stop\n"), QByteArray("ok 22 ff ff ff"));
    QCOMPARE(pty->read(CommandListener::MaxTcpClients * 4 + 4),
             QByteArray("\x20\xff\xff\xff", 4).repeated(CommandListener::MaxTcpClients)
                 + QByteArray("\x22\xff\xff\xff", 4));
    QCOMPARE(pty->readRest(), QByteArray());
}

void BridgeTest::deliversThroughTheConsole()
{
    removeSavedSettings();
    MainWindow window;
    child<QComboBox>(window, "comboBox_Serial_Port")->setCurrentText(pty->slavePath());
    clickButton(window, "pushButton_Open");
    QVERIFY(serialPort->isOpen());

    const quint16 port = startBridge({"--listen", "127.0.0.1:0"});
    QVERIFY(bridge->peek(1 << 16).contains("through the program that holds " + pty->slavePath().toUtf8()));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(answerMs));
    QCOMPARE(line(client, "volume xlr -20\n"), QByteArray("ok 30 00 2c 02"));
    QCOMPARE(pty->read(4).toHex(' '), QByteArray("30 00 2c 02"));
    QCOMPARE(child<QLabel>(window, "label_Status")->text(), QStringLiteral("Absolute Volume : 0x30 0x0 0x2c 0x2"));
    // A script that leaves as soon as its lines are written: the console's
    // answers come later than one turn, and the first of them meet a closed
    // connection, yet every line read still goes, in order.
    {
        QTcpSocket gone;
        gone.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(gone.waitForConnected(answerMs));
        gone.write(QByteArray("next\n").repeated(3 * LineSession::MaxAnswersOwed));
        QVERIFY(gone.waitForBytesWritten(answerMs));
    }
    const QByteArray nexts = QByteArray("\x23\xff\xff\xff", 4).repeated(3 * LineSession::MaxAnswersOwed);
    QByteArray wire; // read while the console, in this process, runs
    QTRY_VERIFY_WITH_TIMEOUT((wire += pty->readRest(1), wire.size() >= nexts.size()), answerMs);
    QCOMPARE(wire.toHex(' '), nexts.toHex(' '));

    // The console lets go: the bridge takes the port itself.
    clickButton(window, "pushButton_Close");
    QCOMPARE(line(client, "play\n"), QByteArray("ok 20 ff ff ff"));
    QCOMPARE(pty->read(4), QByteArray("\x20\xff\xff\xff", 4));
    // And the console, asked to open it now, drives the player through the
    // bridge, and says so.
    clickButton(window, "pushButton_Open");
    QVERIFY2(child<QLabel>(window, "label_Status")
                 ->text()
                 .startsWith(QStringLiteral("Open through tunaris-bridge, process ")),
             qPrintable(child<QLabel>(window, "label_Status")->text()));
    clickButton(window, "pushButton_Next");
    QCOMPARE(pty->read(4), QByteArray("\x23\xff\xff\xff", 4));
    QCOMPARE(child<QLabel>(window, "label_Status")->text(), QStringLiteral("Next : 0x23 0xff 0xff 0xff"));
    // The bridge lets go: the console takes the port over.
    bridge->terminate();
    QVERIFY(bridge->waitForFinished(answerMs));
    QTRY_VERIFY(serialPort->isOpen());
    clickButton(window, "pushButton_Stop");
    QCOMPARE(pty->read(4), QByteArray("\x22\xff\xff\xff", 4));
}

// The README's show-control line, as written there, with this machine's
// bridge in place of 192.168.1.20:4001.
void BridgeTest::readmeButtonLine()
{
    QFile readme(QStringLiteral(README_PATH));
    QVERIFY(readme.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(readme.readAll()).split(QLatin1Char('\n'));
    const int at = int(lines.indexOf(QRegularExpression(QStringLiteral("^    printf 'spot 5 .* \\| nc .*"))));
    QVERIFY(at > 0);
    const quint16 port = startBridge({"--listen", "127.0.0.1:0"});
    QString command = lines.at(at).trimmed();
    command.replace(QLatin1String("192.168.1.20 4001"), QStringLiteral("127.0.0.1 %1").arg(port));
    const ToolRun run = runTool(QStringLiteral("sh"), {"-c", command});
    QCOMPARE(run.output.trimmed(), lines.at(at + 1).trimmed().toUtf8());
    QCOMPARE(pty->read(4).toHex(' '), QByteArray("14 00 05 03"));
}

// Nothing listens unless asked to: with no address, the bridge holds the
// port for this user's programs alone, as a service's defaults have it.
void BridgeTest::refusesToStartUnsafely()
{
    QProcess holder;
    holder.setReadChannel(QProcess::StandardError);
    holder.start(QStringLiteral(BRIDGE_PATH), {"--port", pty->slavePath(), "--listen", "off", "--web", "off"});
    QVERIFY(QTest::qWaitFor([&] { return holder.peek(4096).contains("nothing listens on the network"); }, answerMs));
    const ToolRun run = runTool(QStringLiteral(SEND_PATH), {"--port", pty->slavePath(), "next"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(pty->read(4), QByteArray("\x23\xff\xff\xff", 4));
    holder.terminate();
    QVERIFY(holder.waitForFinished(answerMs));
}

// Each form is read as exactly one thing or refused ("").
void BridgeTest::addressForms_data()
{
    QTest::addColumn<bool>("listen"); // parseListenAddress, else parseNetwork
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("read");

    const std::pair<const char *, const char *> networks[] = {{"192.168.1.0/24", "192.168.1.0/24"},
                                                              {"10.0.0.7", "10.0.0.7/32"},
                                                              {"192.168.1.20/24", "192.168.1.0/24"},
                                                              {"0.0.0.0/0", "0.0.0.0/0"},
                                                              {"fd00::/8", "fd00::/8"},
                                                              {"FD00:0::1", "fd00::1/128"},
                                                              {"::ffff:127.0.0.2", "127.0.0.2/32"},
                                                              {"::ffff:10.1.0.0/112", "10.1.0.0/16"},
                                                              {"0177.0.0.2", ""},
                                                              {"127.1", ""},
                                                              {"2130706433", ""},
                                                              {"0x7f.0.0.1", ""},
                                                              {"1.2.3.4.5", ""},
                                                              {"256.0.0.1", ""},
                                                              {" 10.0.0.1", ""},
                                                              {"/8", ""},
                                                              {"10.0.0.0/", ""},
                                                              {"10.0.0.0/08", ""},
                                                              {"10.0.0.0/+8", ""},
                                                              {"10.0.0.0/33", ""},
                                                              {"10.0.0.0/8/8", ""},
                                                              {"fd00::/129", ""},
                                                              {"::ffff:", ""},
                                                              {"::ffff:127.1", ""},
                                                              {"::ffff:10.0.0.0/8", ""},
                                                              {"fe80::1%lo", ""},
                                                              {"localhost", ""}};
    for (const auto &[text, read] : networks)
        QTest::addRow("network %s", text) << false << text << read;
    const std::pair<const char *, const char *> listens[] = {{"0.0.0.0:4001", "0.0.0.0:4001"},
                                                             {"[::]:4001", "[::]:4001"},
                                                             {"[::ffff:127.0.0.1]:0", "127.0.0.1:0"},
                                                             {"127.0.0.1:65535", "127.0.0.1:65535"},
                                                             {"127.1:0", ""},
                                                             {"2130706433:0", ""},
                                                             {"127.0.0.1:04001", ""},
                                                             {"127.0.0.1:65536", ""},
                                                             {"127.0.0.1:", ""},
                                                             {"[127.0.0.1]:0", ""},
                                                             {":::4001", ""},
                                                             {"[::]4001", ""}};
    for (const auto &[text, read] : listens)
        QTest::addRow("listen %s", text) << true << text << read;
}

void BridgeTest::addressForms()
{
    QFETCH(bool, listen);
    QFETCH(QString, text);
    QFETCH(QString, read);
    QString result;
    if (const auto address = listen ? CommandListener::parseListenAddress(text) : std::nullopt)
        result = QStringLiteral("%1:%2").arg(addressText(address->first)).arg(address->second);
    if (const auto network = listen ? std::nullopt : CommandListener::parseNetwork(text))
        result = CommandListener::networkText(*network);
    QCOMPARE(result, read);
}

void BridgeTest::argumentChecks_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error"); // empty: usable

    const QStringList base = {"--port", "/dev/ttyUSB0", "--listen", "127.0.0.1:4001"};
    QTest::newRow("usable") << base << "";
    QTest::newRow("--allow again") << base + QStringList{"--allow", "10.0.0.0/8", "--allow", "127.0.0.1"} << "";
    for (const QStringList &again : {QStringList{"--port", "/dev/ttyS0"},
                                     {"--port=/dev/ttyUSB0"},
                                     {"--listen", "127.0.0.1:4002"},
                                     {"--baud", "9600", "--baud", "9600"},
                                     {"--udp", "--udp"}}) {
        QTest::addRow("again: %s", qPrintable(again.join(QLatin1Char(' '))))
            << base + again << again.first().section(QLatin1Char('='), 0, 0) + " given more than once";
    }
    QTest::newRow("empty port") << QStringList{"--port", "", "--listen", "127.0.0.1:4001"} << "--port needs a value";
    QTest::newRow("bad device server") << QStringList{"--port", "tcp://host", "--listen", "127.0.0.1:4001"}
                                       << "'tcp://host' is not a device server address (tcp://HOST:NUMBER)";
    const QString numbersOnly = QStringLiteral("numbers only, IPv4 as four decimal numbers without leading zeros)");
    QTest::newRow("a name, not an address")
        << QStringList{"--port", "/dev/ttyUSB0", "--listen", "localhost:4001"}
        << "'localhost:4001' is not an address and port number to listen on (0.0.0.0:4001, [::]:4001; " + numbersOnly;
    QTest::newRow("not a network") << base + QStringList{"--allow", "192.168.1.0/33"}
                                   << "'192.168.1.0/33' is not a network (192.168.1.0/24, 10.0.0.7, fd00::/8; "
                                          + numbersOnly;
    QTest::newRow("IPv6 network, IPv4 listener")
        << base + QStringList{"--allow", "fd00::/8"}
        << "none of the networks allowed can reach 127.0.0.1: listen on [::] to serve IPv4 and IPv6";

    // The web remote stands beside --listen or alone, on the same terms.
    const QStringList device = {"--port", "/dev/ttyUSB0"};
    const QString noWeb = QStringLiteral("this build has no web remote (--web): it was made without Qt HttpServer, "
                                         "Qt WebSockets or libqrencode");
#if defined(TUNARIS_WEB_REMOTE)
    const auto web = [](const QString &error) { return error; };
#else
    const auto web = [&noWeb](const QString &) { return noWeb; };
#endif
    QTest::newRow("web alone") << device + QStringList{"--web", "0.0.0.0:8080"} << web("");
    QTest::newRow("web beside TCP") << base + QStringList{"--web", "[::]:8080"} << web("");
    QTest::newRow("listen and web off, as a service's defaults")
        << device + QStringList{"--listen", "off", "--web", "off"} << "";
    QTest::newRow("listen off, web named")
        << device + QStringList{"--listen", "off", "--web", "0.0.0.0:8080"} << web("");
    QTest::newRow("web again") << device + QStringList{"--web", "off", "--web", "0.0.0.0:8080"}
                               << "--web given more than once";
    QTest::newRow("web on a name")
        << device + QStringList{"--web", "localhost:8080"}
        << web("'localhost:8080' is not an address and port number to listen on (0.0.0.0:8080, "
               "[::]:8080; numbers only, IPv4 as four decimal numbers without leading zeros)");
    QTest::newRow("datagrams with nothing to take them")
        << device + QStringList{"--web", "127.0.0.1:8080", "--udp"} << "--udp needs --listen ADDRESS:NUMBER";
    QTest::newRow("IPv6 network, IPv4 web remote")
        << device + QStringList{"--listen", "[::]:4001", "--web", "0.0.0.0:8080", "--allow", "fd00::/8"}
        << web("none of the networks allowed can reach 0.0.0.0: listen on [::] to serve IPv4 and IPv6");
}

void BridgeTest::argumentChecks()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QCOMPARE(parseBridgeArguments(arguments).error, error);
}

// Where it listens and whom it serves, as the bridge says at start.
void BridgeTest::startReport_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("report");

    QTest::newRow("loopback only") << QStringList{"--listen", "127.0.0.1:4001", "--udp"}
                                   << QStringList{"listening on 127.0.0.1:4001 (UDP)",
                                                  "serving the loopback addresses only; --allow NETWORK admits others"};
    QTest::newRow("dual stack") << QStringList{"--listen",       "[::]:4001", "--allow",
                                               "192.168.1.9/24", "--allow",   "fd00::/8"}
                                << QStringList{"listening on [::]:4001 (TCP, IPv6 and IPv4)",
                                               "serving 192.168.1.0/24, fd00::/8"};
    QTest::newRow("IPv4 only") << QStringList{"--listen",        "0.0.0.0:4001", "--allow",
                                              "::ffff:10.0.0.1", "--allow",      "fd00::/8"}
                               << QStringList{"listening on 0.0.0.0:4001 (TCP)", "serving 10.0.0.1/32",
                                              "not serving fd00::/8: 0.0.0.0 takes IPv4 clients only"};
#if defined(TUNARIS_WEB_REMOTE)
    QTest::newRow("web remote reaches what TCP does not")
        << QStringList{"--listen", "0.0.0.0:4001",   "--web",   "[::]:8080",
                       "--allow",  "192.168.1.0/24", "--allow", "fd00::/8"}
        << QStringList{"listening on 0.0.0.0:4001 (TCP)", "web remote on [::]:8080 (HTTP, IPv6 and IPv4)",
                       "serving 192.168.1.0/24, fd00::/8", "not serving fd00::/8: 0.0.0.0 takes IPv4 clients only"};
#endif
}

void BridgeTest::startReport()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, report);
    const BridgeRequest request = parseBridgeArguments(QStringList{"--port", "/dev/ttyUSB0"} + arguments);
    QCOMPARE(request.error, QString());
    QCOMPARE(::startReport(request, 4001, 8080), report);
}

// A burst the bridge must refuse, then one good datagram: only that one's
// frame reaches the player, and it does.
// clang-format off
void BridgeTest::datagramsAfterABurst_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QByteArray>("report");

    QTest::newRow("500 from a refused address") << 500 << QByteArray("play") << "127.0.0.2"
                                                << QByteArray("refused a datagram from 127.0.0.2");
    QTest::newRow("play, 300 line feeds, stop") << 1 << "play" + QByteArray(300, '\n') + "stop" << "127.0.0.1"
                                                << QByteArray("308 bytes, longer than one command");
    QTest::newRow("500 of 2000 bytes") << 500 << QByteArray(2000, 'p') << "127.0.0.1"
                                       << QByteArray("2000 bytes, longer than one command");
}
// clang-format on

void BridgeTest::datagramsAfterABurst()
{
    QFETCH(int, count);
    QFETCH(QByteArray, datagram);
    QFETCH(QString, from);
    QFETCH(QByteArray, report);
    const quint16 port = startBridge({"--listen", "127.0.0.1:0", "--udp", "--allow", "127.0.0.1"});
    QVERIFY(port > 0);
    QUdpSocket burst;
    QVERIFY(burst.bind(QHostAddress(from), 0));
    for (int i = 0; i < count; ++i)
        QCOMPARE(burst.writeDatagram(datagram, QHostAddress::LocalHost, port), qint64(datagram.size()));
    QTRY_VERIFY_WITH_TIMEOUT(bridge->peek(1 << 16).contains(report), answerMs);
    QTest::qWait(200); // the burst read to its end
    QUdpSocket good;
    QVERIFY(good.writeDatagram("stop", QHostAddress::LocalHost, port) > 0);
    QCOMPARE(pty->read(4).toHex(' '), QByteArray("22 ff ff ff"));
    QCOMPARE(pty->readRest(), QByteArray());
}

// Clients that trickle a line hold their slots only until the line's
// deadline, and one address only a share of them, so that a client from
// elsewhere is served. In this process, with a short deadline.
void BridgeTest::slowClientsCannotLockOthersOut_data()
{
    QTest::addColumn<int>("addresses");         // 16 slow clients from 127.0.0.2 on
    QTest::addColumn<QByteArray>("lateClient"); // what a client from 127.0.0.99 is told at once

    QTest::newRow("16 from one address") << 1 << QByteArray("ok 22 ff ff ff");
    QTest::newRow("16 from four addresses") << 4 << QByteArray("ok 22 ff ff ff");
}

void BridgeTest::slowClientsCannotLockOthersOut()
{
    QFETCH(int, addresses);
    QFETCH(QByteArray, lateClient);
    constexpr int deadlineMs = 400;
    PlayerLink link(pty->slavePath(), PlayerLink::Options{});
    CommandIntake intake(&link);
    QString error;
    QVERIFY2(link.open(&error), qPrintable(error));
    CommandListener listener(&intake, [](const QString &) {});
    listener.setLineDeadline(deadlineMs);
    QVERIFY(listener.listenTcp(QHostAddress::LocalHost, 0, &error));

    std::vector<std::unique_ptr<QTcpSocket>> slow(CommandListener::MaxTcpClients);
    for (size_t i = 0; i < slow.size(); ++i) {
        slow[i] = std::make_unique<QTcpSocket>();
        QVERIFY(slow[i]->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + int(i) % addresses)), 0));
        slow[i]->connectToHost(QHostAddress::LocalHost, listener.port());
        QVERIFY(slow[i]->waitForConnected(answerMs));
        slow[i]->write("p");
    }
    QTimer trickle; // one more byte of the same line now and then
    connect(&trickle, &QTimer::timeout, this, [&] {
        for (auto &client : slow)
            client->write("l");
    });
    trickle.start(deadlineMs / 4);

    const auto serveLateClient = [&] {
        QTcpSocket late;
        late.bind(QHostAddress(QStringLiteral("127.0.0.99")), 0);
        late.connectToHost(QHostAddress::LocalHost, listener.port());
        return late.waitForConnected(answerMs) ? line(late, "stop\n") : QByteArray("not connected");
    };
    QCOMPARE(serveLateClient(), lateClient);
    // The trickling ones are told why they are let go, and then the way is free.
    for (auto &client : slow) {
        QVERIFY(QTest::qWaitFor([&] { return client->state() == QTcpSocket::UnconnectedState; }, answerMs));
        const QByteArray told = client->readAll().trimmed();
        QVERIFY2(told == "error line not ended within 0.4 s" || told == "error too many clients, try again", told);
    }
    QCOMPARE(serveLateClient(), QByteArray("ok 22 ff ff ff"));
    const QByteArray stop("\x22\xff\xff\xff", 4);
    QCOMPARE(pty->read(8, 300), stop + stop);
}

QTEST_MAIN(BridgeTest)
#include "tst_bridge.moc"
