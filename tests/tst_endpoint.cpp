// Other programs' commands through the console that holds the port: the
// real tunaris-send and raw local clients against a real window whose port
// is a pseudo-terminal, read byte for byte at its far end.
#include "link/portendpoint.h"
#include "tests/support/toolrun.h"
#include "tests/window/windowonpty.h"
#include "tests/window/windowtesting.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

class EndpointTest : public QObject, private WindowOnPty
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { stopOnPty(); }
    void toolSendsThroughTheConsole_data();
    void toolSendsThroughTheConsole();
    void endpointLivesWithTheLink();
    void hostileLinesSendNothing_data();
    void hostileLinesSendNothing();
    void crowdDoesNotStopTheConsole();
    void fullLineIsOnlyTheLinesPace_data();
    void fullLineIsOnlyTheLinesPace();
    void anotherUserIsRefused();
    void closingAnswersEveryLine();
    void consoleSaysWhenItCannotServe_data();
    void consoleSaysWhenItCannotServe();
    void readmeScriptTalksToTheConsole();

private:
    QString endpoint() const { return portEndpointName(pty->slavePath()); }
    // A raw client that has sent `bytes`; waits (serving the window) for its
    // first reply line when one is due.
    QByteArray exchange(QLocalSocket &client, const QByteArray &bytes, bool replyDue = true);
    int openDescriptors() const { return int(QDir(QStringLiteral("/proc/self/fd")).count()); }

    QTemporaryDir runUser; // stands for /run/user
    QString runtime;       // the session's runtime folder in it, as /run/user/<uid>
};

namespace {

constexpr int answerMs = 5000;

ToolRun send(const QString &port, const QString &commands, const QStringList &before = {})
{
    // Run as another user, the program needs a copy that user can reach.
    return runTool(before.isEmpty() ? QStringLiteral(SEND_PATH) : before.first(),
                   before.mid(1)
                       + (before.isEmpty() ? QStringList() : QStringList{reachableByAnyUser(QStringLiteral(SEND_PATH))})
                       + QStringList{"--port", port} + commands.split(QLatin1Char(' ')));
}

} // namespace

void EndpointTest::initTestCase()
{
    // The endpoints of this run live here, in a runtime folder as the
    // system makes one for each user.
    QVERIFY(runUser.isValid());
    runtime = runUser.filePath(QString::number(::geteuid()));
    QVERIFY(QDir().mkdir(runtime));
    const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                      | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(runUser.path(), open) && QFile::setPermissions(runtime, open));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    listPorts({});
}

void EndpointTest::init()
{
    startOnPty();
    open();
}

QByteArray EndpointTest::exchange(QLocalSocket &client, const QByteArray &bytes, bool replyDue)
{
    if (client.state() != QLocalSocket::ConnectedState) {
        client.connectToServer(endpoint());
        if (!client.waitForConnected(answerMs))
            return "not connected: " + client.errorString().toUtf8();
    }
    client.write(bytes);
    client.flush();
    if (!replyDue)
        return QByteArray();
    if (!QTest::qWaitFor([&] { return client.canReadLine() || client.state() != QLocalSocket::ConnectedState; },
                         answerMs))
        return "no answer";
    return client.readLine().trimmed();
}

void EndpointTest::toolSendsThroughTheConsole_data()
{
    QTest::addColumn<bool>("byLink"); // the device named by a link to it, as /dev/serial/by-id does
    QTest::addColumn<bool>("cron");   // run as a scheduler runs it: no session, no XDG_RUNTIME_DIR
    QTest::newRow("the console's name for it") << false << false;
    QTest::newRow("another name of the device") << true << false;
    QTest::newRow("a job of cron, without XDG_RUNTIME_DIR") << false << true;
}

void EndpointTest::toolSendsThroughTheConsole()
{
    QFETCH(bool, byLink);
    QFETCH(bool, cron);
    QTemporaryDir links;
    const QString port = byLink ? links.filePath(QStringLiteral("usb-player-if00")) : pty->slavePath();
    QVERIFY(!byLink || QFile::link(pty->slavePath(), port));
    const ToolRun run = send(port, QStringLiteral("play folder 300 --seq --reset spot 5 --x-in-seq 3"),
                             cron ? asSchedulerJob(runUser.path()) : QStringList());
    QCOMPARE(run.errors, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(pty->read(12).toHex(' '), QByteArray("20 ff ff ff 03 01 2c ff 14 00 05 03"));
    QCOMPARE(pty->readRest(), QByteArray());
    // Echoed as a click on Load is.
    QCOMPARE(status(), QStringLiteral("Load Spot : 0x14 0x0 0x5 0x3"));

    // Bad words are still refused before anything is sent.
    const ToolRun refused = send(port, QStringLiteral("play folder 1000"));
    QCOMPARE(refused.exitCode, 2);
    QCOMPARE(pty->readRest(), QByteArray());
}

void EndpointTest::endpointLivesWithTheLink()
{
    QVERIFY(QFileInfo(endpoint()).exists());
    clickButton(*window, "pushButton_Close");
    QTRY_VERIFY(!QFileInfo::exists(endpoint()));

    // One left behind by a console that was killed is replaced, never used.
    QFile stale(endpoint());
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.close();
    clickButton(*window, "pushButton_Open");
    QLocalSocket client;
    QCOMPARE(exchange(client, "play\n"), QByteArray("ok 20 ff ff ff"));
    QCOMPARE(pty->read(4), QByteArray("\x20\xff\xff\xff", 4));

    // Gone when the console ends.
    window.reset();
    QVERIFY(!QFileInfo::exists(endpoint()));
}

void EndpointTest::hostileLinesSendNothing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("reply"); // empty: the client leaves without one

    // The bridge's tests go through the rest of what both services refuse,
    // tst_commandline through every rule of a line.
    QTest::newRow("left mid-line") << QByteArray("play") << QByteArray();
    QTest::newRow("a line option") << QByteArray("--port /dev/null play\n")
                                   << QByteArray("error unknown option '--port'");
}

void EndpointTest::hostileLinesSendNothing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, reply);
    {
        QLocalSocket client;
        QCOMPARE(exchange(client, bytes, !reply.isEmpty()), reply);
    }
    QTest::qWait(50);
    QCOMPARE(pty->readRest(), QByteArray());
    // The endpoint goes on serving.
    QLocalSocket next;
    QCOMPARE(exchange(next, "play\r\n"), QByteArray("ok 20 ff ff ff"));
    QCOMPARE(pty->read(4), QByteArray("\x20\xff\xff\xff", 4));
}

void EndpointTest::crowdDoesNotStopTheConsole()
{
    const int descriptorsBefore = openDescriptors();
    std::vector<std::unique_ptr<QLocalSocket>> crowd;
    for (int i = 0; i < 200; ++i) {
        crowd.push_back(std::make_unique<QLocalSocket>());
        crowd.back()->connectToServer(endpoint());
    }
    // The endpoint keeps as many as it serves and turns the others away.
    const auto turnedAway = [&] {
        return std::count_if(crowd.begin(), crowd.end(), [](const auto &client) {
            return client->state() == QLocalSocket::UnconnectedState
                   && client->peek(64) == "error too many clients, try again\n";
        });
    };
    QTRY_COMPARE_WITH_TIMEOUT(turnedAway(), 200 - PortEndpoint::MaxClients, answerMs);
    // The window answers its operator all the while.
    clickButton(*window, "pushButton_Stop");
    QCOMPARE(pty->read(4), QByteArray("\x22\xff\xff\xff", 4));

    // Once they leave, there is room again.
    crowd.clear();
    const auto tryAgain = [&] {
        QLocalSocket next;
        return exchange(next, "next\n");
    };
    QTRY_COMPARE(tryAgain(), QByteArray("ok 23 ff ff ff"));
    // Every connection's descriptor is given back.
    QTRY_COMPARE(openDescriptors(), descriptorsBefore);
}

void EndpointTest::fullLineIsOnlyTheLinesPace_data()
{
    QTest::addColumn<bool>("drains");
    QTest::newRow("the line drains") << true;
    // A frame that waited past its bound was never written: "not sent" holds.
    QTest::newRow("the line stays full past the bound") << false;
}

// A slow line fills the system's buffer: the port waits for room, clients
// get their answers late, and nothing is dropped, doubled or reordered.
void EndpointTest::fullLineIsOnlyTheLinesPace()
{
    QFETCH(bool, drains);
    const QByteArray play("\x20\xff\xff\xff", 4);
    const QByteArray next("\x23\xff\xff\xff", 4);
    const int lines = drains ? 300 : 1;
    // Nobody reads the far end: the operator's clicks fill the system's
    // buffer, and the last ones wait for room.
    int atOnce = 0;
    const PlayerCommand click = PlayerCommand::transportCommand(Commands::Play);
    while (atOnce < 20000 && window->sendCommand(click))
        ++atOnce;
    int clicks = atOnce + 1;
    for (int more = 0; more < 50; ++more, ++clicks)
        QVERIFY(!window->sendCommand(click));
    QVERIFY2(serialPort->isOpen() && atOnce < 20000, qPrintable(status()));

    QLocalSocket client;
    QCOMPARE(exchange(client, QByteArray("next\n").repeated(lines), false), QByteArray());
    QTest::qWait(200);
    QCOMPARE(client.bytesAvailable(), 0); // a full line answers late, not "error"
    if (!drains) {
        QTRY_VERIFY_WITH_TIMEOUT(client.canReadLine(), 10000);
        QCOMPARE(client.readLine(), QByteArray("error not sent: the line had no room for 6 s\n"));
    }

    // The line drains again. Past the bound, the clicks that waited were not
    // sent either; one that was leaving for the line when it filled goes.
    QByteArray expected = drains ? play.repeated(clicks) + next.repeated(lines) : play.repeated(atOnce);
    QByteArray received;
    QDeadlineTimer deadline(20000);
    while (received.size() < expected.size() && !deadline.hasExpired()) {
        received += pty->read(int(expected.size() - received.size()), 5);
        QCoreApplication::processEvents();
    }
    if (!drains && pty->read(4, 200) == play)
        received += play;
    if (received.size() > expected.size())
        expected += play; // it was leaving, in part, when the line filled
    QCOMPARE(received.size(), expected.size());
    QVERIFY(received == expected);
    if (!drains)
        QVERIFY2(status().endsWith(QStringLiteral("(not sent)")), qPrintable(status()));
    if (drains) {
        QTRY_VERIFY_WITH_TIMEOUT(client.bytesAvailable() >= lines * 15, answerMs);
        QCOMPARE(client.readAll(), QByteArray("ok 23 ff ff ff\n").repeated(lines));
    }
    QVERIFY(serialPort->isOpen());
    QCOMPARE(pty->readRest(), QByteArray());
}

void EndpointTest::anotherUserIsRefused()
{
    // Its environment names this user's runtime folder: it must not trust it.
    const ToolRun run = send(pty->slavePath(), QStringLiteral("play"),
                             {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(QString::fromUtf8(run.errors),
             QStringLiteral("tunaris-send: %1 is not a private folder of this user: it belongs to user root (0)\n")
                 .arg(runtime));
    QCOMPARE(pty->readRest(), QByteArray());
    QCOMPARE(status(), QStringLiteral("Open"));
}

// A client that gets no answer must be able to tell that the console died:
// so a console that closes its port answers every line it was given, even
// those it has not read yet, and those of a connection not yet taken.
void EndpointTest::closingAnswersEveryLine()
{
    QLocalSocket client;
    QCOMPARE(exchange(client, "play\n"), QByteArray("ok 20 ff ff ff"));
    QCOMPARE(pty->read(4), QByteArray("\x20\xff\xff\xff", 4));
    QLocalSocket late;
    late.connectToServer(endpoint());
    QVERIFY(late.waitForConnected(answerMs));
    // The window has not had a turn since: nothing of this was read.
    for (QLocalSocket *socket : {&client, &late}) {
        socket->write("stop\nnext\npau");
        QVERIFY(socket->waitForBytesWritten(answerMs));
    }
    clickButton(*window, "pushButton_Close");
    for (QLocalSocket *socket : {&client, &late}) {
        QByteArray replies;
        QVERIFY(QTest::qWaitFor(
            [&] {
                replies += socket->readAll();
                return socket->state() == QLocalSocket::UnconnectedState;
            },
            answerMs));
        replies += socket->readAll();
        QCOMPARE(replies, QByteArray("error not sent: the port closed\nerror not sent: the port closed\n"));
    }
    QCOMPARE(pty->readRest(), QByteArray());
}

// clang-format off
void EndpointTest::consoleSaysWhenItCannotServe_data()
{
    QTest::addColumn<QString>("attack"); // on the folder of the endpoints
    QTest::addColumn<QString>("reason"); // "%1": that folder, "%2": the endpoint

    QTest::newRow("a folder where the endpoint goes") << "folder in the way"
                                                      << "a folder stands where the endpoint goes, %2";
    QTest::newRow("another user's") << "owned by nobody"
                                    << "%1 is not a private folder of this user: it belongs to user nobody (65534)";
}
// clang-format on

void EndpointTest::consoleSaysWhenItCannotServe()
{
    QFETCH(QString, attack);
    QFETCH(QString, reason);
    clickButton(*window, "pushButton_Close");
    const QString folder = QFileInfo(endpoint()).path();
    const QByteArray path = QFile::encodeName(folder);
    if (attack == QLatin1String("folder in the way"))
        QVERIFY(QDir().mkdir(endpoint()));
    else
        QCOMPARE(::chown(path.constData(), 65534, 65534), 0);

    clickButton(*window, "pushButton_Open");
    const QString shown = status();
    QDir().rmdir(endpoint());
    QCOMPARE(::chown(path.constData(), ::geteuid(), ::getegid()), 0);
    QCOMPARE(::chmod(path.constData(), 0700), 0);
    QCOMPARE(shown, QStringLiteral("Open; other programs cannot reach the console: ")
                        + reason.replace(QLatin1String("%1"), folder).replace(QLatin1String("%2"), endpoint()));
    // The link itself works.
    clickButton(*window, "pushButton_Play");
    QCOMPARE(pty->read(4), QByteArray("\x20\xff\xff\xff", 4));
}

// The README's script for the endpoint, exactly as written there, with the
// test's device in place of ttyUSB0.
void EndpointTest::readmeScriptTalksToTheConsole()
{
    QFile readme(QStringLiteral(README_PATH));
    QVERIFY(readme.open(QIODevice::ReadOnly | QIODevice::Text));
    const QString text = QString::fromUtf8(readme.readAll());
    const qsizetype start = text.indexOf(QLatin1String("    python3 - ttyUSB0"));
    const qsizetype end = text.indexOf(QLatin1String("\n    EOF\n"), start);
    const qsizetype printsAt = text.indexOf(QLatin1String("which prints\n\n"), end);
    QVERIFY(start > 0 && end > start && printsAt > end);
    QString script = text.mid(start, end + 9 - start).replace(QLatin1String("\n    "), QLatin1String("\n")).mid(4);
    script.replace(QLatin1String("ttyUSB0"), QFileInfo(endpoint()).fileName());
    QString prints = text.mid(printsAt + 14);
    prints = prints.left(prints.indexOf(QLatin1String("\n\n")) + 1).replace(QLatin1String("    "), QString());

    const ToolRun run = runTool(QStringLiteral("sh"), {"-c", script});
    QCOMPARE(run.errors, QByteArray());
    QCOMPARE(QString::fromUtf8(run.output), prints);
    QCOMPARE(pty->read(8).toHex(' '), QByteArray("03 01 2c ff 20 ff ff ff"));
}

QTEST_MAIN(EndpointTest)
#include "tst_endpoint.moc"
