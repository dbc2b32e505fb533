// The fleet through a real Mosquitto broker, started by the test on
// 127.0.0.1 with a configuration of its own: tunaris-bridge on
// pseudo-terminals whose far ends the test reads byte for byte, commands
// published with mosquitto_pub and tunaris-send, replies and states read by
// a client of the test's own.
#include "fleet/fleetdiscovery.h"
#include "fleet/fleetjournal.h"
#include "fleet/fleetsender.h"
#include "fleet/fleettopics.h"
#include "fleet/messagelife.h"
#include "fleet/mqttclient.h"
#include "tests/support/brokerprocess.h"
#include "tests/support/ptypair.h"
#include "tests/support/toolrun.h"
#include "tools/bridge/bridgecommandline.h"
#include "tools/send/sendcommandline.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>
#include <unistd.h>

namespace {

constexpr int answerMs = 10000;

// A bridge on a pseudo-terminal of its own; with `stateHome`, its state
// folder is another than the others' (a bridge of another machine).
struct Bridge
{
    PtyPair pty;
    QProcess process;
    QString stateHome;

    bool start(quint16 brokerPort, const QStringList &options, const QByteArray &until = "taking the commands of")
    {
        if (process.isOpen())
            process.readAllStandardError(); // an earlier run's reports
        process.setReadChannel(QProcess::StandardError);
        if (!stateHome.isEmpty()) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("XDG_STATE_HOME"), stateHome);
            process.setProcessEnvironment(environment);
        }
        process.start(QStringLiteral(BRIDGE_PATH), QStringList{"--port", pty.slavePath(), "--mqtt",
                                                               QStringLiteral("mqtt://127.0.0.1:%1").arg(brokerPort)}
                                                       + options);
        return waitFor(until);
    }
    // It ended, or does within the usual time.
    bool ended() { return process.state() == QProcess::NotRunning || process.waitForFinished(answerMs); }
    bool waitFor(const QByteArray &report)
    {
        return QTest::qWaitFor([&] { return process.peek(1 << 20).contains(report); }, answerMs);
    }
    ~Bridge()
    {
        process.terminate();
        process.waitForFinished(answerMs);
    }
};

// The test's own eyes on the broker: every message on the topics it watches.
class Observer : public QObject
{
public:
    QList<MqttMessage> messages;

    bool watch(quint16 port, const QList<QByteArray> &topics)
    {
        BrokerSettings broker;
        broker.host = QStringLiteral("127.0.0.1");
        broker.port = port;
        MqttClient::Session session;
        session.clientId = QStringLiteral("tst_fleet-%1").arg(++s_count);
        m_client = std::make_unique<MqttClient>(broker, session);
        // Again after a reconnection: the session is a new one each time.
        connect(m_client.get(), &MqttClient::connected, this,
                [this, topics] { m_mid = m_client->subscribe(topics, 0); });
        connect(m_client.get(), &MqttClient::subscribed, this,
                [this](int done) { m_subscribed = m_subscribed || done == m_mid; });
        connect(m_client.get(), &MqttClient::messageArrived, this,
                [this](const MqttMessage &message) { messages << message; });
        QString error;
        return m_client->start(&error) && QTest::qWaitFor([this] { return m_subscribed; }, answerMs);
    }
    QList<QByteArray> payloads(int count)
    {
        // Fewer than asked for: the caller compares and says so.
        [[maybe_unused]] const bool arrived = QTest::qWaitFor([&] { return messages.size() >= count; }, answerMs);
        QList<QByteArray> all;
        for (const MqttMessage &message : std::as_const(messages))
            all << message.payload;
        return all;
    }

private:
    static inline int s_count = 0;
    std::unique_ptr<MqttClient> m_client;
    int m_mid = -1;
    bool m_subscribed = false;
};

ToolRun publish(quint16 port, const QByteArray &topic, const QStringList &options)
{
    return runTool(QStringLiteral("mosquitto_pub"),
                   QStringList{"-p", QString::number(port), "-t", QString::fromUtf8(topic)} + options);
}

QByteArray wire(PtyPair &pty, int count)
{
    return pty.read(count, answerMs).toHex(' ');
}

} // namespace

class FleetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commandLife_data();
    void commandLife();
    void journalKeepsWhatWasHandedOn();
    void commandsReachTheirPlayers_data();
    void commandsReachTheirPlayers();
    void hostileMessagesSendNothing_data();
    void hostileMessagesSendNothing();
    void repeatedRequestIsAnsweredNotResent();
    void readmeLines();
    void listsPlayers();
    void stateAndWill_data();
    void stateAndWill();
    void redeliveryIsNotSentAgain_data();
    void redeliveryIsNotSentAgain();
    void staleCommandsFromAStoredSessionDoNotPlay();
    void brokerRestartMidStream();
    void frozenBridgePlaysNothingStale();
    void groupAnswersOfflineMembersAtOnce();
    void senderAnswersEachPlayerOnce();
    void onePlayerIdOneBridge();
    void discoveryFollowsTheConvention();
    void watchedListing_data();
    void watchedListing();
    void bridgedBrokers_data();
    void bridgedBrokers();
    void refusesBrokersItCannotTrust_data();
    void refusesBrokersItCannotTrust();
    void argumentChecks_data();
    void argumentChecks();

private:
    QTemporaryDir runtime;
    Broker broker;
    quint16 port = 0;
    // shop-12 in the groups shops and north, shop-14 in shops.
    Bridge shop12;
    Bridge shop14;
};

void FleetTest::initTestCase()
{
    QVERIFY(runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    qputenv("XDG_STATE_HOME", QFile::encodeName(runtime.filePath(QStringLiteral("state"))));
    port = freePort();
    QVERIFY(broker.start(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(port)));
    QVERIFY(shop12.start(port, {"--player", "shop-12", "--group", "shops", "--group", "north"}));
    QVERIFY(shop14.start(port, {"--player", "shop-14", "--group", "shops"}));
}

// A command's life from what its message says, judged against this
// machine's clocks: offsets in seconds from now, or the text as given.
void FleetTest::commandLife_data()
{
    QTest::addColumn<int>("expiry"); // what the broker left of it; -1: none
    QTest::addColumn<QString>("created");
    QTest::addColumn<QString>("expires");
    QTest::addColumn<QString>("refusal"); // its start; empty: taken
    QTest::addColumn<bool>("expired");
    QTest::addColumn<QString>("why");
    QTest::newRow("nothing") << -1 << ""
                             << ""
                             << "" << false << "30 s from its arrival, having no message expiry";
    QTest::newRow("message expiry") << 10 << ""
                                    << ""
                                    << "" << false << "its message expiry, 10 s left when it came";
    QTest::newRow("created") << -1 << "-5"
                             << ""
                             << "" << false << "30 s from its 'created' time";
    QTest::newRow("created long ago") << -1 << "-40"
                                      << ""
                                      << "" << true << "30 s from its 'created' time";
    QTest::newRow("held past 'expires', expiry left") << 10 << "-25"
                                                      << "-15"
                                                      << "" << true << "until ";
    QTest::newRow("'expires' later than the expiry") << 3 << "0"
                                                     << "10"
                                                     << "" << false << "its message expiry, 3 s left when it came";
    // An expiry says nothing of how long it was meant to live.
    QTest::newRow("expiry, created long ago") << 10 << "-60"
                                              << ""
                                              << "" << false << "its message expiry, 10 s left when it came";
    QTest::newRow("dated ahead") << 10 << "6"
                                 << ""
                                 << "not sent: dated 6 s ahead of this player's clock" << false << "";
    QTest::newRow("dated ahead within agreement") << 10 << "4"
                                                  << ""
                                                  << "" << false << "its message expiry";
    QTest::newRow("created not in UTC") << 10 << "2025-05-01T12:00:00+02:00"
                                        << ""
                                        << "'created' is not a UTC time" << false << "";
    QTest::newRow("expires at no time") << 10 << ""
                                        << "soon"
                                        << "'expires' is not a UTC time" << false << "";
}

void FleetTest::commandLife()
{
    QFETCH(int, expiry);
    QFETCH(QString, created);
    QFETCH(QString, expires);
    QFETCH(QString, refusal);
    QFETCH(bool, expired);
    QFETCH(QString, why);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto at = [&](const QString &given) {
        bool offset = false;
        const int seconds = given.toInt(&offset);
        return offset ? MessageLife::utcText(now.addSecs(seconds)) : given.toLatin1();
    };
    MessageLife::Times times{std::nullopt, at(created), at(expires)};
    if (expiry >= 0)
        times.expirySeconds = quint32(expiry);
    const MessageLife::Result result = MessageLife::judge(times, now);
    QVERIFY2(refusal.isEmpty() ? result.life.has_value() : result.refusal.startsWith(refusal),
             qPrintable(result.refusal));
    if (!result.life)
        return;
    QCOMPARE(result.life->expired(), expired);
    QVERIFY2(result.life->why.startsWith(why), qPrintable(result.life->why));
}

// The journal in a folder of its own: what was handed on, with its reply or
// without, comes back after a restart; lines that are not its own are
// skipped; it is bounded; and one bridge of this machine holds it at a time.
void FleetTest::journalKeepsWhatWasHandedOn()
{
    QTemporaryDir folder;
    QString error;
    const QByteArray key = FleetJournal::key({"tunaris/players/j/command", "7", "play"});
    {
        FleetJournal journal;
        QVERIFY2(journal.open(folder.path(), QStringLiteral("j"), &error), qPrintable(error));
        FleetJournal second;
        QVERIFY(!second.open(folder.path(), QStringLiteral("j"), &error));
        QVERIFY2(error.startsWith(QLatin1String("player j is already served on this machine")), qPrintable(error));
        // A lock left by an earlier process that had this one's number (a
        // crash, then the numbers came round again) holds nothing.
        QFile lock(folder.filePath(QStringLiteral("fleet-j.lock")));
        QVERIFY(lock.open(QIODevice::ReadOnly));
        const QByteArray left = lock.readAll();
        lock.close();
        {
            FleetJournal other;
            QVERIFY2(other.open(folder.path(), QStringLiteral("k"), &error), qPrintable(error));
        }
        QFile leftover(folder.filePath(QStringLiteral("fleet-k.lock")));
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.write(left);
        leftover.close();
        FleetJournal restarted;
        QVERIFY2(restarted.open(folder.path(), QStringLiteral("k"), &error), qPrintable(error));
        const quint64 sent = journal.handed(key, QByteArray(), false, &error);
        journal.answered(sent, "ok 20 ff ff ff", FleetJournal::Last{"play", "20 ff ff ff", "2025-05-01T12:00:00.250Z"});
        journal.settled({journal.handed(QByteArray(), FleetJournal::key({"request"}), false, &error)});
        journal.handed(FleetJournal::key({"in flight"}), QByteArray(), false, &error);
    }
    QFile file(folder.filePath(QStringLiteral("fleet-j.journal")));
    QVERIFY(file.open(QIODevice::Append));
    file.write("{\"handed\":-1,\"at\":\"x\"}\n{\"answered\":1,\"reply\":\"ok \\u001b[2J\"}\nnot json\n{\"handed\":9");
    file.close();
    {
        FleetJournal journal;
        QVERIFY2(journal.open(folder.path(), QStringLiteral("j"), &error), qPrintable(error));
        const QList<FleetJournal::Entry> entries = journal.entries();
        QCOMPARE(entries.size(), 3);
        QCOMPARE(entries.at(0).redelivery, key);
        QCOMPARE(entries.at(0).reply, QByteArray("ok 20 ff ff ff"));
        QVERIFY(!entries.at(0).settled && entries.at(1).settled);
        QCOMPARE(entries.at(2).reply, QByteArray()); // in flight: unknown
        for (int i = 0; i < FleetJournal::MaxEntries + 10; ++i)
            journal.handed(FleetJournal::key({QByteArray::number(i)}), QByteArray(), true, &error);
    }
    FleetJournal bounded;
    QVERIFY2(bounded.open(folder.path(), QStringLiteral("j"), &error), qPrintable(error));
    QCOMPARE(bounded.entries().size(), FleetJournal::MaxEntries);
    QCOMPARE(bounded.last().value().command, QStringLiteral("play"));
}

void FleetTest::commandsReachTheirPlayers_data()
{
    QTest::addColumn<QByteArray>("topic");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("on12"); // the bytes on each player's line
    QTest::addColumn<QByteArray>("on14");
    QTest::newRow("player") << QByteArray("tunaris/players/shop-12/command") << "folder 300 --seq --reset"
                            << QByteArray("03 01 2c ff") << QByteArray();
    QTest::newRow("group of both") << QByteArray("tunaris/groups/shops/command") << "volume xlr -20"
                                   << QByteArray("30 00 2c 02") << QByteArray("30 00 2c 02");
    QTest::newRow("group of one") << QByteArray("tunaris/groups/north/command") << "mute rca on"
                                  << QByteArray("33 00 01 01") << QByteArray();
    QTest::newRow("with a line end") << QByteArray("tunaris/players/shop-14/command") << "next\r\n"
                                     << QByteArray() << QByteArray("23 ff ff ff");
}

void FleetTest::commandsReachTheirPlayers()
{
    QFETCH(QByteArray, topic);
    QFETCH(QString, command);
    QFETCH(QByteArray, on12);
    QFETCH(QByteArray, on14);
    Observer replies;
    QVERIFY(replies.watch(port, {"tunaris/players/+/reply"}));
    QCOMPARE(publish(port, topic, {"-q", "1", "-m", command}).exitCode, 0);
    QCOMPARE(wire(shop12.pty, int(on12.size() + 1) / 3), on12);
    QCOMPARE(wire(shop14.pty, int(on14.size() + 1) / 3), on14);
    const int players = int(!on12.isEmpty()) + int(!on14.isEmpty());
    QVERIFY(replies.payloads(players).contains("ok " + (on12.isEmpty() ? on14 : on12)));
    QCOMPARE(shop12.pty.readRest() + shop14.pty.readRest(), QByteArray());
}

// Each is answered "error", nothing reaches the line, and the bridge goes on.
void FleetTest::hostileMessagesSendNothing_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("options"); // for mosquitto_pub
    QTest::addColumn<QByteArray>("reply");
    const auto made = [](int seconds) {
        return QString::fromLatin1(MessageLife::utcText(QDateTime::currentDateTimeUtc().addSecs(seconds)));
    };
    const QStringList property = {"-D", "publish", "user-property"};
    QTest::newRow("1 MiB") << QByteArray(1 << 20, 'a') << QStringList()
                           << QByteArray("error 1048576 bytes, longer than");
    QTest::newRow("binary") << QByteArray("play\x01\xff", 6) << QStringList()
                            << QByteArray("error line holds bytes that are not text");
    QTest::newRow("two commands") << QByteArray("play\nstop") << QStringList()
                                  << QByteArray("error one command per message");
    QTest::newRow("empty") << QByteArray() << QStringList() << QByteArray("error one command per message");
    QTest::newRow("out of range") << QByteArray("folder 1000") << QStringList()
                                  << QByteArray("error folder 1000 is out of range");
    QTest::newRow("made long ago") << QByteArray("play") << property + QStringList{"created", "2020-01-01T12:00:00Z"}
                                   << QByteArray("error not sent: expired (30 s from its 'created' time)");
    QTest::newRow("made at no time") << QByteArray("play") << property + QStringList{"created", "noon"}
                                     << QByteArray("error 'created' is not a UTC time");
    QTest::newRow("dated ahead") << QByteArray("play") << property + QStringList{"created", made(60)}
                                 << QByteArray("error not sent: dated ");
    QTest::newRow("wildcard response topic")
        << QByteArray("play") << QStringList{"-D", "publish", "response-topic", "replies/#"}
        << QByteArray("error the response topic is not one to publish to");
    QTest::newRow("retained") << QByteArray("play") << QStringList{"-r"}
                              << QByteArray("error a retained command is never taken");
}

void FleetTest::hostileMessagesSendNothing()
{
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, reply);
    Observer replies;
    QVERIFY(replies.watch(port, {"tunaris/players/shop-14/reply"}));
    QFile file(broker.path(QStringLiteral("payload")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(payload);
    file.close();
    const QByteArray topic = "tunaris/players/shop-14/command";
    QCOMPARE(publish(port, topic, QStringList{"-V", "5", "-f", file.fileName()} + options).exitCode, 0);
    QCOMPARE(replies.payloads(1).size(), 1);
    QVERIFY2(replies.messages.first().payload.startsWith(reply), replies.messages.first().payload);
    int answers = 1;
    if (options.contains(QStringLiteral("-r"))) {
        // No retained command left behind; its removal is refused alike.
        QCOMPARE(publish(port, topic, {"-r", "-n"}).exitCode, 0);
        ++answers;
    }
    QCOMPARE(publish(port, topic, {"-m", "pause"}).exitCode, 0);
    QCOMPARE(wire(shop14.pty, 4), QByteArray("21 ff ff ff"));
    // Answered before the next row watches.
    QCOMPARE(replies.payloads(answers + 1).value(answers), QByteArray("ok 21 ff ff ff"));
}

// A request published twice with the same correlation data (a publisher's
// retry) plays once and is answered twice, to the response topic.
void FleetTest::repeatedRequestIsAnsweredNotResent()
{
    Observer replies;
    QVERIFY(replies.watch(port, {"office/replies"}));
    const QStringList request = {"-V",
                                 "5",
                                 "-m",
                                 "webradio 3",
                                 "-D",
                                 "publish",
                                 "response-topic",
                                 "office/replies",
                                 "-D",
                                 "publish",
                                 "correlation-data",
                                 "request-1"};
    QCOMPARE(publish(port, "tunaris/players/shop-12/command", request).exitCode, 0);
    QCOMPARE(publish(port, "tunaris/players/shop-12/command", request).exitCode, 0);
    QCOMPARE(replies.payloads(2), (QList<QByteArray>{"ok 40 00 03 ff", "ok 40 00 03 ff"}));
    for (const MqttMessage &reply : std::as_const(replies.messages)) {
        QCOMPARE(reply.correlation, QByteArray("request-1"));
        QVERIFY(reply.userProperties.contains(qMakePair(QByteArray("player"), QByteArray("shop-12"))));
    }
    QCOMPARE(wire(shop12.pty, 4), QByteArray("40 00 03 ff"));
    // And again to the bridge restarted: its journal answers.
    shop12.process.terminate();
    QVERIFY(shop12.process.waitForFinished(answerMs));
    QVERIFY(shop12.start(port, {"--player", "shop-12", "--group", "shops", "--group", "north"}));
    QCOMPARE(publish(port, "tunaris/players/shop-12/command", request).exitCode, 0);
    QCOMPARE(replies.payloads(3).value(2), QByteArray("ok 40 00 03 ff"));
    QCOMPARE(shop12.pty.readRest(), QByteArray());
}

// The README's fleet lines, as written there, with this machine's broker in
// place of broker.example.com.
void FleetTest::readmeLines()
{
    QFile readme(QStringLiteral(README_PATH));
    QVERIFY(readme.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(readme.readAll()).split(QLatin1Char('\n'));
    const int pub =
        int(lines.indexOf(QRegularExpression(QStringLiteral("^    mosquitto_pub -h broker.example.com .*"))));
    const int send = int(lines.indexOf(
        QRegularExpression(QStringLiteral("^    tunaris-send --mqtt mqtt://broker.example.com --group .*"))));
    QVERIFY(pub > 0 && send > 0);
    QString line = lines.at(pub).trimmed();
    line.replace(QLatin1String("-h broker.example.com"), QStringLiteral("-h 127.0.0.1 -p %1").arg(port));
    QCOMPARE(runTool(QStringLiteral("sh"), {"-c", line}).exitCode, 0);
    QCOMPARE(wire(shop12.pty, 4), QByteArray("14 00 05 03"));

    line = lines.at(send).trimmed();
    line.replace(QLatin1String("mqtt://broker.example.com"), QStringLiteral("mqtt://127.0.0.1:%1").arg(port));
    line.replace(QLatin1String("tunaris-send"), QStringLiteral(SEND_PATH));
    const ToolRun run = runTool(QStringLiteral("sh"), {"-c", line});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromUtf8(run.output), lines.at(send + 1).trimmed() + '\n' + lines.at(send + 2).trimmed() + '\n');
    QCOMPARE(wire(shop12.pty, 4), QByteArray("20 ff ff ff"));
    QCOMPARE(wire(shop14.pty, 4), QByteArray("20 ff ff ff"));
}

void FleetTest::listsPlayers()
{
    const ToolRun run = runTool(QStringLiteral(SEND_PATH),
                                {"--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(port), "--list-players"});
    QCOMPARE(run.exitCode, 0);
    const QList<QByteArray> listed = run.output.trimmed().split('\n');
    QCOMPARE(listed.size(), 2);
    QVERIFY2(
        listed.at(0).startsWith("shop-12  online  " + shop12.pty.slavePath().toUtf8() + "  open  groups: shops, north"),
        listed.at(0));
    QVERIFY2(listed.at(1).startsWith("shop-14  online  "), listed.at(1));
}

void FleetTest::stateAndWill_data()
{
    QTest::addColumn<int>("signal");
    // The bridge's own farewell says what went out last; the will, set when
    // it connected, cannot; the bridge restarted says it again.
    QTest::addColumn<bool>("lastKept");
    QTest::newRow("clean stop") << SIGTERM << true;
    QTest::newRow("vanished") << SIGKILL << false;
}

void FleetTest::stateAndWill()
{
    QFETCH(int, signal);
    QFETCH(bool, lastKept);
    Observer states;
    QVERIFY(states.watch(port, {"tunaris/players/shop-16/state"}));
    Bridge shop16;
    QVERIFY(shop16.start(port, {"--player", "shop-16", "--group", "lobby"}));
    QCOMPARE(runTool(QStringLiteral(SEND_PATH),
                     {"--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(port), "--player", "shop-16", "play"})
                 .exitCode,
             0);
    QCOMPARE(wire(shop16.pty, 4), QByteArray("20 ff ff ff"));
    QVERIFY(QTest::qWaitFor([&] { return states.payloads(2).last().contains("\"last\""); }, answerMs));
    const QByteArray online = states.messages.last().payload;
    const QByteArray path = shop16.pty.slavePath().toUtf8();
    const QByteArray host = QSysInfo::machineHostName().toUtf8();
    QVERIFY2(online.contains("\"online\":true") && online.contains("\"port\":\"" + path + "\"")
                 && online.contains("\"host\":\"" + host + "\"") && online.contains("\"link\":\"open\"")
                 && online.contains("\"groups\":[\"lobby\"]") && online.contains("\"bytes\":\"20 ff ff ff\"")
                 && online.contains("\"command\":\"play\""),
             online);
    signalProcess(shop16.process, signal);
    QVERIFY(shop16.process.waitForFinished(answerMs));
    QVERIFY(QTest::qWaitFor([&] { return states.messages.last().payload.contains("\"online\":false"); }, answerMs));
    QCOMPARE(states.messages.last().payload.contains("\"last\""), lastKept);
    // Retained, so that a dashboard started later sees it too, and how long ago it was published.
    Observer later;
    QVERIFY(later.watch(port, {"tunaris/players/shop-16/state"}));
    QVERIFY(later.payloads(1).value(0).contains("\"online\":false"));
    QVERIFY(later.messages.first().expirySeconds.value_or(0) > FleetTopics::StateExpirySeconds - 10);
    const ToolRun listing = runTool(QStringLiteral(SEND_PATH),
                                    {"--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(port), "--list-players"});
    QVERIFY2(listing.output.contains("shop-16  offline since "
                                     + QDateTime::currentDateTimeUtc().toString(Qt::ISODate).left(10).toUtf8()),
             listing.output);
    // Back, it says what went out last, whatever the will said.
    QVERIFY(shop16.start(port, {"--player", "shop-16", "--group", "lobby"}));
    QVERIFY(QTest::qWaitFor([&] { return states.messages.last().payload.contains("\"online\":true"); }, answerMs));
    QVERIFY2(states.messages.last().payload.contains("\"command\":\"play\""), states.messages.last().payload);
}

// A command the broker hands over again, because our acknowledgement never
// reached it (the broker restarted meanwhile), is answered as before and not
// sent: by the same bridge, and by the next one after the bridge that took
// it was stopped or killed before it could connect again.
void FleetTest::redeliveryIsNotSentAgain_data()
{
    QTest::addColumn<int>("signal"); // 0: the same bridge goes on
    QTest::newRow("same bridge") << 0;
    QTest::newRow("after a stop") << SIGTERM;
    QTest::newRow("after a crash") << SIGKILL;
}

void FleetTest::redeliveryIsNotSentAgain()
{
    QFETCH(int, signal);
    Broker lasting;
    const quint16 lastingPort = freePort();
    QVERIFY(lasting.start(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence true\n"
                                         "persistence_location %2/\n")
                              .arg(lastingPort)
                              .arg(lasting.path(QString()))));
    Bridge shop18;
    const QStringList options = {"--player", QStringLiteral("shop-18-%1").arg(signal)};
    QVERIFY(shop18.start(lastingPort, options));
    const pid_t first = pid_t(shop18.process.processId());
    // Stopped, it lets the command lie unread and unacknowledged.
    ::kill(first, SIGSTOP);
    QCOMPARE(publish(lastingPort, "tunaris/players/" + options.last().toUtf8() + "/command",
                     {"-q", "1", "-m", "volume rca -9"})
                 .exitCode,
             0);
    QTest::qWait(500);     // for the broker to write it to the stopped bridge
    lasting.stop(SIGTERM); // which keeps the session and the command unacknowledged in it
    QVERIFY(lasting.restart());
    ::kill(first, SIGCONT);
    QVERIFY2(wire(shop18.pty, 4) == "30 00 37 01", shop18.process.peek(1 << 16).constData());
    if (signal != 0) {
        // Before it connects again (a second at the earliest).
        ::kill(first, SIGSTOP);
        ::kill(first, signal);
        ::kill(first, SIGCONT);
        QVERIFY(shop18.process.waitForFinished(answerMs));
        QVERIFY(shop18.start(lastingPort, options, "came again"));
    }
    QVERIFY(shop18.waitFor("came again; answered as before, not sent again"));
    QCOMPARE(shop18.pty.readRest(500), QByteArray());
}

// While the bridge is away its session keeps what comes: a command whose
// expiry ran out meanwhile, or made longer ago than a command without one
// lives, must not play when it comes back; a fresh one does.
void FleetTest::staleCommandsFromAStoredSessionDoNotPlay()
{
    Observer replies;
    QVERIFY(replies.watch(port, {"tunaris/players/shop-20/reply"}));
    Bridge shop20;
    QVERIFY(shop20.start(port, {"--player", "shop-20"}));
    signalProcess(shop20.process, SIGKILL);
    shop20.process.waitForFinished(answerMs);
    const QByteArray topic = "tunaris/players/shop-20/command";
    const QString made = QDateTime::currentDateTimeUtc().addSecs(-40).toString(Qt::ISODate);
    QCOMPARE(publish(port, topic, {"-q", "1", "-V", "5", "-m", "play", "-D", "publish", "message-expiry-interval", "1"})
                 .exitCode,
             0);
    QCOMPARE(
        publish(port, topic, {"-q", "1", "-V", "5", "-m", "next", "-D", "publish", "user-property", "created", made})
            .exitCode,
        0);
    QCOMPARE(publish(port, topic, {"-q", "1", "-m", "stop"}).exitCode, 0);
    QTest::qWait(2500); // the first one's expiry, which the broker counts in whole seconds
    QVERIFY(shop20.start(port, {"--player", "shop-20"}));
    QCOMPARE(wire(shop20.pty, 4), QByteArray("22 ff ff ff"));
    QCOMPARE(replies.payloads(2).size(), 2);
    QVERIFY2(replies.messages.first().payload.startsWith("error not sent: expired (30 s from its 'created' time)"),
             replies.messages.first().payload);
    QCOMPARE(shop20.pty.readRest(500), QByteArray());
}

// The broker restarts while commands stream to the player, each a run of
// tunaris-send: every "ok" is on the line exactly once, a "not sent" never
// is, nothing is there twice, and the bridge comes back by itself.
void FleetTest::brokerRestartMidStream()
{
    Broker restarting;
    const quint16 restartingPort = freePort();
    QVERIFY(restarting.start(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(restartingPort)));
    Bridge shop22;
    QVERIFY(shop22.start(restartingPort, {"--player", "shop-22"}));
    const QString send =
        QStringLiteral("%1 --mqtt mqtt://127.0.0.1:%2 --player shop-22").arg(SEND_PATH).arg(restartingPort);
    QProcess stream;
    // volume xlr -K: a frame of its own for each K.
    stream.start(QStringLiteral("sh"),
                 {"-c", QStringLiteral("for k in $(seq 1 40); do %1 volume xlr -$k >/dev/null 2>&1; "
                                       "echo \"$k $?\"; done")
                            .arg(send)});
    QVERIFY(QTest::qWaitFor([&] { return stream.peek(1 << 16).count('\n') >= 10; }, 3 * answerMs));
    restarting.stop(SIGKILL);
    QVERIFY(restarting.restart());
    QVERIFY(stream.waitForFinished(6 * answerMs));
    // Only "not sent" is tried again: the bridge is back once one goes out.
    QVERIFY(QTest::qWaitFor(
        [&] {
            return runTool(QStringLiteral("sh"), {"-c", send + " play"}).exitCode != 1;
        },
        2 * answerMs));

    QHash<int, int> exits; // by K
    for (const QByteArray &line : stream.readAllStandardOutput().trimmed().split('\n'))
        exits.insert(line.split(' ').first().toInt(), line.split(' ').last().toInt());
    QCOMPARE(exits.size(), 40);
    QHash<int, int> onTheLine;
    QByteArray frames = shop22.pty.readRest(1000);
    QVERIFY(frames.endsWith(QByteArray::fromHex("20ffffff")));
    frames.chop(4);
    QCOMPARE(frames.size() % 4, 0);
    for (qsizetype at = 0; at < frames.size(); at += 4)
        ++onTheLine[64 - quint8(frames.at(at + 2))];
    for (auto exit = exits.cbegin(); exit != exits.cend(); ++exit) {
        const int times = onTheLine.value(exit.key());
        QVERIFY2(exit.value() == 0   ? times == 1
                 : exit.value() == 1 ? times == 0
                                     : times <= 1,
                 qPrintable(QStringLiteral("volume xlr -%1: exit %2, %3 times on the line")
                                .arg(exit.key())
                                .arg(exit.value())
                                .arg(times)));
    }
    QVERIFY(exits.values().contains(0) && exits.values().count(0) < 40);
}

// A bridge frozen with a command in its socket (a suspended machine) wakes
// after the command's sender said it expires: the broker's expiry, counted
// from the arrival, would still let it go; its creation does not.
void FleetTest::frozenBridgePlaysNothingStale()
{
    Observer replies;
    QVERIFY(replies.watch(port, {"tunaris/players/shop-14/reply"}));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QVERIFY(signalProcess(shop14.process, SIGSTOP));
    const QStringList property = {"-D", "publish", "user-property"};
    QCOMPARE(publish(port, "tunaris/players/shop-14/command",
                     QStringList{"-V", "5", "-q", "1", "-m", "next", "-D", "publish", "message-expiry-interval", "10"}
                         + property + QStringList{"created", MessageLife::utcText(now)} + property
                         + QStringList{"expires", MessageLife::utcText(now.addSecs(2))})
                 .exitCode,
             0);
    QTest::qWait(3000);
    signalProcess(shop14.process, SIGCONT);
    QCOMPARE(replies.payloads(1).size(), 1);
    QVERIFY2(replies.messages.first().payload.startsWith("error not sent: expired (until "),
             replies.messages.first().payload);
    QCOMPARE(shop14.pty.readRest(500), QByteArray());
}

// A group command answers a member whose state shows it offline at once, not
// sent to it, and waits only for the others.
void FleetTest::groupAnswersOfflineMembersAtOnce()
{
    Bridge shop34;
    Bridge shop36;
    QVERIFY(shop34.start(port, {"--player", "shop-34", "--group", "cafes"}));
    QVERIFY(shop36.start(port, {"--player", "shop-36", "--group", "cafes"}));
    shop36.process.terminate();
    QVERIFY(shop36.process.waitForFinished(answerMs));
    const ToolRun run = runTool(QStringLiteral(SEND_PATH), {"--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(port),
                                                            "--group", "cafes", "play", "stop"});
    QCOMPARE(run.exitCode, 1);
    const QByteArray today = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).left(10).toUtf8();
    const QByteArray offline = "shop-36: error not sent: offline since " + today;
    const QList<QByteArray> lines = run.output.split('\n');
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(0), QByteArray("shop-34: ok 20 ff ff ff"));
    QVERIFY2(lines.at(1).startsWith(offline), lines.at(1));
    QCOMPARE(lines.at(2), QByteArray("shop-34: ok 22 ff ff ff"));
    QVERIFY2(run.errors.contains("not sent to shop-36 (error not sent: offline since "), run.errors);
    QCOMPARE(wire(shop34.pty, 8), QByteArray("20 ff ff ff 22 ff ff ff"));
    QCOMPARE(shop36.pty.readRest(), QByteArray());
    QCOMPARE(publish(port, "tunaris/players/shop-36/state", {"-r", "-n"}).exitCode, 0);
}

// A player ID has one bridge: a second one is refused in words that say
// where the first runs, and the first keeps its session; once the first is
// gone, another takes the ID; of two that start at once, one stays.
// The sender shared by tunaris-send and the office: each player of a send
// answered exactly once and each send finished once, whatever ends it: the
// broker's word that no one takes a topic, too many sends under way, the
// connection lost with answers owed, no connection at all.
void FleetTest::senderAnswersEachPlayerOnce()
{
    Broker going;
    const quint16 goingPort = freePort();
    QVERIFY(going.start(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(goingPort)));
    Observer silent; // takes the commands of "silent" and never answers
    QVERIFY(silent.watch(goingPort, {FleetTopics::playerCommand(QStringLiteral("silent"))}));
    BrokerSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = goingPort;
    FleetSender sender(settings);
    QHash<QPair<quint64, QString>, QList<QByteArray>> answers;
    QHash<quint64, int> finished;
    connect(&sender, &FleetSender::answered, this, [&](quint64 send, const QString &player, const QByteArray &reply) {
        answers[qMakePair(send, player)] << reply;
    });
    connect(&sender, &FleetSender::finished, this, [&](quint64 send) { ++finished[send]; });
    QString error;
    QVERIFY2(sender.start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(sender.isReady(), answerMs);

    const PlayerCommand play = PlayerCommand::transportCommand(Commands::Play);
    const quint64 first = sender.send(play, {"silent", "nobody", "silent"});
    QList<quint64> waiting{first};
    while (waiting.size() < FleetSender::MaxSending)
        waiting << sender.send(play, {"silent"});
    const quint64 tooMany = sender.send(play, {"silent"});
    QTRY_COMPARE_WITH_TIMEOUT(answers.value(qMakePair(first, QStringLiteral("nobody"))),
                              QList<QByteArray>{"error not sent: no bridge takes the commands of nobody"}, answerMs);
    QCOMPARE(answers.value(qMakePair(tooMany, QStringLiteral("silent"))),
             QList<QByteArray>{"error not sent: 64 commands already wait for their answers"});
    QCOMPARE(finished.value(tooMany), 1);
    QCOMPARE(silent.payloads(FleetSender::MaxSending).size(), FleetSender::MaxSending);

    going.stop(SIGKILL);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), FleetSender::MaxSending + 1, answerMs);
    for (const quint64 send : std::as_const(waiting)) {
        const QList<QByteArray> replies = answers.value(qMakePair(send, QStringLiteral("silent")));
        QCOMPARE(replies.size(), 1);
        QVERIFY2(replies.first().startsWith("unknown "), replies.first().constData());
        QCOMPARE(finished.value(send), 1);
    }
    const quint64 away = sender.send(play, {"silent"});
    QTRY_COMPARE_WITH_TIMEOUT(finished.value(away), 1, answerMs);
    QVERIFY(answers.value(qMakePair(away, QStringLiteral("silent")))
                .value(0)
                .startsWith("error not sent: not connected to the broker"));
    QTest::qWait(100); // nothing more comes for any of them
    QCOMPARE(answers.size(), FleetSender::MaxSending + 3);
    for (const QList<QByteArray> &replies : std::as_const(answers))
        QCOMPARE(replies.size(), 1);
}

void FleetTest::onePlayerIdOneBridge()
{
    const QStringList options = {"--player", "shop-38"};
    const QString send = QStringLiteral("%1 --mqtt mqtt://127.0.0.1:%2 --player shop-38 play").arg(SEND_PATH).arg(port);
    Bridge first;
    QVERIFY(first.start(port, options));
    // On this machine, with the same state folder.
    Bridge here;
    QVERIFY(here.start(port, options, "already served on this machine"));
    QVERIFY(here.ended());
    QCOMPARE(here.process.exitCode(), 1);
    // As if from another machine.
    Bridge second;
    second.stateHome = runtime.filePath(QStringLiteral("elsewhere"));
    const QByteArray taken = "player shop-38 is taken: the bridge on " + QSysInfo::machineHostName().toUtf8() + " for "
                             + first.pty.slavePath().toUtf8() + " serves it";
    QVERIFY2(second.start(port, options, taken), second.process.peek(1 << 16).constData());
    QVERIFY(second.ended());
    QCOMPARE(second.process.exitCode(), 1);
    QCOMPARE(runTool(QStringLiteral("sh"), {"-c", send}).exitCode, 0);
    QCOMPARE(wire(first.pty, 4), QByteArray("20 ff ff ff"));
    QCOMPARE(second.pty.readRest(), QByteArray());
    QVERIFY(!first.process.peek(1 << 16).contains("lost the connection"));

    // Gone, its will says so, and the ID is free.
    signalProcess(first.process, SIGKILL);
    QVERIFY(first.process.waitForFinished(answerMs));
    QVERIFY(second.start(port, options));
    QCOMPARE(runTool(QStringLiteral("sh"), {"-c", send}).exitCode, 0);
    QCOMPARE(wire(second.pty, 4), QByteArray("20 ff ff ff"));

    // Two at once: one refused by the other's state or its session taken over.
    second.process.terminate();
    QVERIFY(second.process.waitForFinished(answerMs));
    Bridge third;
    third.stateHome = runtime.filePath(QStringLiteral("third"));
    QVERIFY(first.start(port, options, QByteArray()));
    QVERIFY(third.start(port, options, QByteArray()));
    QVERIFY(QTest::qWaitFor(
        [&] { return first.process.state() == QProcess::NotRunning || third.process.state() == QProcess::NotRunning; },
        2 * answerMs));
    Bridge &stayed = first.process.state() == QProcess::Running ? first : third;
    QVERIFY(stayed.waitFor("taking the commands of"));
    QTest::qWait(1000);
    QCOMPARE(stayed.process.state(), QProcess::Running);
    QCOMPARE(runTool(QStringLiteral("sh"), {"-c", send}).exitCode, 0);
    QCOMPARE(wire(stayed.pty, 4), QByteArray("20 ff ff ff"));
    QCOMPARE(first.pty.readRest() + third.pty.readRest(), QByteArray());
}

// Each configuration message a bridge announces its player with, read back
// from a real Mosquitto, uses only the keys Home Assistant's MQTT discovery
// documents for its component (button, binary_sensor and sensor, the
// device's, an availability's and the origin's), with those it requires; a
// button pressed as Home Assistant presses it (a plain publish at QoS 0)
// plays; a configuration of the node the bridge does not announce, and then
// every one once the option is taken away, is removed.
void FleetTest::discoveryFollowsTheConvention()
{
    // Every entity's keys, those of the entities that show a state, and each component's own.
    const QStringList entity = {"availability",
                                "availability_mode",
                                "availability_template",
                                "availability_topic",
                                "device",
                                "device_class",
                                "enabled_by_default",
                                "encoding",
                                "entity_category",
                                "entity_picture",
                                "icon",
                                "json_attributes_template",
                                "json_attributes_topic",
                                "name",
                                "object_id",
                                "payload_available",
                                "payload_not_available",
                                "platform",
                                "qos",
                                "unique_id"};
    const QStringList shown = {"expire_after", "force_update", "state_topic", "value_template"};
    const QHash<QString, QStringList> documented = {
        {"button", entity + QStringList{"command_template", "command_topic", "payload_press", "retain"}},
        {"binary_sensor", entity + shown + QStringList{"off_delay", "payload_off", "payload_on"}},
        {"sensor", entity + shown
                       + QStringList{"last_reset_value_template", "options", "state_class",
                                     "suggested_display_precision", "unit_of_measurement"}},
    };
    const QHash<QString, QString> required = {
        {"button", "command_topic"}, {"binary_sensor", "state_topic"}, {"sensor", "state_topic"}};
    const QStringList deviceKeys = {"configuration_url", "connections",    "hw_version", "identifiers",
                                    "manufacturer",      "model",          "model_id",   "name",
                                    "serial_number",     "suggested_area", "sw_version", "via_device"};
    const QStringList availabilityKeys = {"payload_available", "payload_not_available", "topic", "value_template"};
    const QStringList originKeys = {"name", "sw_version", "support_url"};
    const auto within = [](const QJsonObject &object, const QStringList &keys) {
        const QStringList given = object.keys();
        return std::all_of(given.begin(), given.end(), [&](const QString &key) { return keys.contains(key); });
    };

    // One of an older version of ours, and a stranger's in our node.
    const QByteArray stale = "homeassistant/switch/" + FleetDiscovery::nodeId("shop-24.b_c") + "/old/config";
    QCOMPARE(publish(port, stale, {"-r", "-m", "{\"command_topic\":\"x\"}"}).exitCode, 0);
    Bridge shop24;
    QVERIFY(shop24.start(port, {"--player", "shop-24.b_c", "--discovery"}));
    QVERIFY(shop24.waitFor("removed the discovery configuration " + stale));
    Observer configs;
    QVERIFY(configs.watch(port, {"homeassistant/#"}));
    const QList<QByteArray> payloads = configs.payloads(8);
    QCOMPARE(payloads.size(), 8);
    static const QRegularExpression topicForm(
        QStringLiteral("^homeassistant/(button|binary_sensor|sensor)/[a-zA-Z0-9_-]+/[a-zA-Z0-9_-]+/config$"));
    QSet<QString> unique;
    QByteArray nextTopic;
    for (const MqttMessage &message : std::as_const(configs.messages)) {
        const QString topic = QString::fromUtf8(message.topic);
        const QRegularExpressionMatch form = topicForm.match(topic);
        QVERIFY2(form.hasMatch(), qPrintable(topic));
        QVERIFY2(message.retain, qPrintable(topic));
        const QString component = form.captured(1);
        const QJsonObject config = QJsonDocument::fromJson(message.payload).object();
        QVERIFY2(within(config, documented.value(component) + QStringList{"origin"}), message.payload);
        QVERIFY2(config.value(required.value(component)).isString(), message.payload);
        QVERIFY2(within(config.value("device").toObject(), deviceKeys), message.payload);
        QVERIFY2(within(config.value("origin").toObject(), originKeys), message.payload);
        for (const QJsonValue &availability : config.value("availability").toArray())
            QVERIFY2(within(availability.toObject(), availabilityKeys), message.payload);
        QVERIFY(config.value("device").toObject().value("identifiers").toArray().contains("tunaris-shop-24.b_c"));
        const QString id = config.value("unique_id").toString();
        QVERIFY2(!id.isEmpty() && !unique.contains(id), qPrintable(id));
        unique << id;
        for (const char *key : {"state_topic", "json_attributes_topic"}) {
            if (config.contains(key))
                QCOMPARE(config.value(key).toString(), QStringLiteral("tunaris/players/shop-24.b_c/state"));
        }
        if (component == "button") {
            QCOMPARE(config.value("command_topic").toString(), QStringLiteral("tunaris/players/shop-24.b_c/command"));
            QCOMPARE(config.value("qos").toInt(-1), 0);
            if (config.value("payload_press") == "next")
                nextTopic = config.value("command_topic").toString().toUtf8();
        }
    }
    Observer replies;
    QVERIFY(replies.watch(port, {"tunaris/players/shop-24.b_c/reply"}));
    QCOMPARE(publish(port, nextTopic, {"-q", "0", "-m", "next"}).exitCode, 0);
    QCOMPARE(wire(shop24.pty, 4), QByteArray("23 ff ff ff"));
    QCOMPARE(replies.payloads(1).value(0), QByteArray("ok 23 ff ff ff"));

    // Without the option, nothing of the node is left on the broker.
    shop24.process.terminate();
    QVERIFY(shop24.process.waitForFinished(answerMs));
    QVERIFY(shop24.start(port, {"--player", "shop-24.b_c"}));
    QVERIFY(QTest::qWaitFor(
        [&] {
            return runTool(QStringLiteral("mosquitto_sub"),
                           {"-p", QString::number(port), "-t", "homeassistant/#", "--retained-only", "-W", "1"})
                .output.isEmpty();
        },
        answerMs));
    QCOMPARE(shop24.pty.readRest(), QByteArray());
}

// tunaris-send --list-players --watch keeps the listing up to date: on a
// terminal as a table with its column headers until q, elsewhere one line
// per change as it happens; a player that joins, goes offline and whose
// state is removed is told each time.
void FleetTest::watchedListing_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::newRow("pipe") << false;
    QTest::newRow("terminal") << true;
}

void FleetTest::watchedListing()
{
    QFETCH(bool, terminal);
    const QString player = terminal ? QStringLiteral("shop-30") : QStringLiteral("shop-32");
    PtyPair screen;
    QProcess watch;
    watch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (terminal) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm"));
        environment.insert(QStringLiteral("LINES"), QStringLiteral("40"));
        environment.insert(QStringLiteral("COLUMNS"), QStringLiteral("200"));
        watch.setProcessEnvironment(environment);
        watch.setStandardInputFile(screen.slavePath());
        watch.setStandardOutputFile(screen.slavePath());
    }
    watch.start(QStringLiteral(SEND_PATH),
                {"--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(port), "--list-players", "--watch"});
    QByteArray seen;
    const auto shows = [&](const QByteArray &text) {
        return QTest::qWaitFor(
            [&] {
                seen += terminal ? screen.readRest(10) : watch.readAllStandardOutput();
                return seen.contains(text);
            },
            answerMs);
    };
    QVERIFY2(shows("shop-12"), seen.constData());
    if (terminal)
        QVERIFY2(seen.contains("PLAYER") && seen.contains("LAST COMMAND"), seen.constData());
    seen.clear();
    Bridge joining;
    QVERIFY(joining.start(port, {"--player", player}));
    QVERIFY2(shows(player.toUtf8() + (terminal ? "" : "  online  ")), seen.constData());
    seen.clear();
    signalProcess(joining.process, SIGKILL);
    QVERIFY(joining.process.waitForFinished(answerMs));
    // A terminal is only sent what changed on it, which a byte stream does
    // not show as text: the lines tell each change in words.
    if (!terminal)
        QVERIFY2(shows(player.toUtf8() + "  offline since "), seen.constData());
    QCOMPARE(publish(port, FleetTopics::playerState(player), {"-r", "-n"}).exitCode, 0);
    if (!terminal) {
        QVERIFY2(shows(player.toUtf8() + "  (its state was removed from the broker)"), seen.constData());
        watch.terminate(); // as Ctrl+C does
    } else {
        QVERIFY(screen.write("q"));
    }
    QVERIFY(watch.waitForFinished(answerMs));
    QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch.exitCode(), 0);
}

// Two real brokers, the player's bridged to the office's: with MQTT 5 the
// promises hold across; with MQTT 3.1.1, which drops every property, the
// sender says so and sends nothing.
void FleetTest::bridgedBrokers_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("says"); // on standard output, then error
    QTest::addColumn<QByteArray>("onTheLine");
    QTest::newRow("mqttv50") << "mqttv50" << 0 << QByteArray("shop-40: ok 20 ff ff ff\n") << QByteArray("20 ff ff ff");
    QTest::newRow("mqttv311") << "mqttv311" << 1
                              << QByteArray("shop-40: error not sent: its state came without the MQTT 5 properties")
                              << QByteArray();
}

void FleetTest::bridgedBrokers()
{
    QFETCH(QString, protocol);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, says);
    QFETCH(QByteArray, onTheLine);
    Broker office;
    Broker region;
    const quint16 officePort = freePort();
    const quint16 regionPort = freePort();
    QVERIFY(office.start(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(officePort)));
    QVERIFY(region.start(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n"
                                        "connection office\naddress 127.0.0.1:%2\ntopic tunaris/# both 1\n"
                                        "bridge_protocol_version %3\n")
                             .arg(regionPort)
                             .arg(officePort)
                             .arg(protocol)));
    Observer states;
    QVERIFY(states.watch(officePort, {"tunaris/players/shop-40/state"}));
    Bridge shop40;
    QVERIFY(shop40.start(regionPort, {"--player", "shop-40"}));
    QVERIFY(!states.payloads(1).isEmpty());
    const ToolRun run =
        runTool(QStringLiteral(SEND_PATH),
                {"--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(officePort), "--player", "shop-40", "play"});
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.output.startsWith(says), run.output + run.errors);
    QCOMPARE(wire(shop40.pty, int(onTheLine.size() + 1) / 3), onTheLine);
    QCOMPARE(shop40.pty.readRest(500), QByteArray());
}

void FleetTest::refusesBrokersItCannotTrust_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("broker"); // %1 to %3: the broker's three listeners
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("says");

    const QString right = QStringLiteral("--mqtt-credentials=%1/right").arg(runtime.path());
    const QString wrong = QStringLiteral("--mqtt-credentials=%1/wrong").arg(runtime.path());
    const QString ca = QStringLiteral("--mqtt-ca=%1/ca.pem").arg(runtime.path());
    const QString connected = QStringLiteral("no player nobody is known to the broker");
    QTest::newRow("wrong password") << SEND_PATH << "mqtt://127.0.0.1:%1" << QStringList{wrong}
                                    << "refused the connection: Not authorized";
    QTest::newRow("right password") << SEND_PATH << "mqtt://127.0.0.1:%1" << QStringList{right} << connected;
    QTest::newRow("bridge, wrong password")
        << BRIDGE_PATH << "mqtt://127.0.0.1:%1" << QStringList{wrong} << "refused the connection: Not authorized";
    QTest::newRow("certificate for another name") << SEND_PATH << "mqtts://127.0.0.1:%2" << QStringList{ca}
                                                  << "the broker's certificate is not made out to 127.0.0.1";
    QTest::newRow("bridge, certificate for another name") << BRIDGE_PATH << "mqtts://127.0.0.1:%2" << QStringList{ca}
                                                          << "the broker's certificate is not made out to 127.0.0.1";
    QTest::newRow("authority not trusted") << SEND_PATH << "mqtts://127.0.0.1:%3" << QStringList()
                                           << "the broker's certificate is not signed by an authority trusted here";
    QTest::newRow("trusted and matching") << SEND_PATH << "mqtts://127.0.0.1:%3" << QStringList{ca} << connected;
}

void FleetTest::refusesBrokersItCannotTrust()
{
    QFETCH(QString, program);
    QFETCH(QString, broker);
    QFETCH(QStringList, options);
    QFETCH(QString, says);
    static Broker guarded;
    static quint16 ports[3] = {};
    if (ports[0] == 0) {
        // An authority of the test's own, and two certificates it signed:
        // one made out to another name, one to 127.0.0.1.
        const QString dir = runtime.path();
        const QString script =
            QStringLiteral(
                "set -e; cd '%1'; "
                "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=tst_fleet-ca; "
                "for f in elsewhere:DNS:elsewhere.example local:IP:127.0.0.1; do name=${f#*:}; f=${f%%:*}; "
                "openssl req -newkey rsa:2048 -nodes -keyout $f.key -out $f.csr -subj /CN=tst_fleet; "
                "printf 'subjectAltName=%s\\n' $name > $f.ext; "
                "openssl x509 -req -in $f.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out $f.pem -days 2 -extfile "
                "$f.ext; done; "
                "mosquitto_passwd -b -c passwords office pass-R1ght; "
                "printf 'username=office\\npassword=pass-R1ght\\n' > right; printf "
                "'username=office\\npassword=pass-Wr0ng\\n' > wrong")
                .arg(dir);
        QCOMPARE(runTool(QStringLiteral("sh"), {"-c", script}).exitCode, 0);
        for (quint16 &port : ports)
            port = freePort();
        const QString tls =
            QStringLiteral("allow_anonymous true\ncafile %1/ca.pem\ncertfile %1/%2.pem\nkeyfile %1/%2.key\n");
        QVERIFY(
            guarded.start(QStringLiteral("per_listener_settings true\n"
                                         "listener %1 127.0.0.1\nallow_anonymous false\npassword_file %2/passwords\n"
                                         "listener %3 127.0.0.1\n%4listener %5 127.0.0.1\n%6")
                              .arg(ports[0])
                              .arg(dir)
                              .arg(ports[1])
                              .arg(tls.arg(dir, "elsewhere"))
                              .arg(ports[2])
                              .arg(tls.arg(dir, "local"))));
    }
    for (int listener = 0; listener < 3; ++listener)
        broker.replace(QStringLiteral("%%1").arg(listener + 1), QString::number(ports[listener]));
    const QStringList address = {"--mqtt", broker};
    QByteArray errors;
    PtyPair pty;
    if (program == SEND_PATH) {
        const ToolRun run = runTool(program, address + options + QStringList{"--player", "nobody", "play"});
        QCOMPARE(run.exitCode, 1);
        errors = run.errors;
    } else {
        // The bridge goes on trying, and says why in words.
        QProcess bridge;
        bridge.start(program, address + options + QStringList{"--port", pty.slavePath(), "--player", "nobody"});
        QVERIFY(QTest::qWaitFor(
            [&] {
                errors += bridge.readAllStandardError();
                return errors.contains(says.toUtf8());
            },
            answerMs));
        QCOMPARE(bridge.state(), QProcess::Running);
        bridge.terminate();
        QVERIFY(bridge.waitForFinished(answerMs));
    }
    QVERIFY2(errors.contains(says.toUtf8()), errors);
    QVERIFY2(!errors.contains("pass-"), "the password is never shown");
    QCOMPARE(pty.readRest(), QByteArray());
}

void FleetTest::argumentChecks_data()
{
    QTest::addColumn<bool>("bridge"); // else tunaris-send
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error"); // the start of it; empty: accepted

    const QStringList port = {"--port", "/dev/ttyUSB0"};
    const QString badFile = runtime.filePath(QStringLiteral("bad-credentials"));
    QTest::newRow("the port alone, for this user's programs") << true << port << "";
    QTest::newRow("no player") << true << port + QStringList{"--mqtt", "mqtt://b"}
                               << "no player ID given (--player ID)";
    QTest::newRow("networks with nothing to serve them")
        << true << port + QStringList{"--mqtt", "mqtt://b", "--player", "a", "--allow", "10.0.0.0/8"}
        << "--allow is for a listening bridge";
    QTest::newRow("player without broker") << true << port + QStringList{"--listen", "127.0.0.1:0", "--player", "a"}
                                           << "--player is for a broker: it needs --mqtt URL";
    QTest::newRow("bad player") << true << port + QStringList{"--mqtt", "mqtt://b", "--player", "a/+"}
                                << "'a/+' is not a player name";
    QTest::newRow("password in the address")
        << true << port + QStringList{"--mqtt", "mqtt://u:pass-x@b", "--player", "a"}
        << "the address is not a broker address";
    QTest::newRow("octal-looking address") << true << port + QStringList{"--mqtt", "mqtt://010.0.0.1", "--player", "a"}
                                           << "'mqtt://010.0.0.1' is not a broker address";
    QTest::newRow("IPv6 without brackets") << true << port + QStringList{"--mqtt", "mqtt://fd00::5", "--player", "a"}
                                           << "'mqtt://fd00::5' is not a broker address";
    QTest::newRow("port 0") << true << port + QStringList{"--mqtt", "mqtt://b:0", "--player", "a"}
                            << "'mqtt://b:0' is not";
    QTest::newRow("authority for plain MQTT")
        << true << port + QStringList{"--mqtt", "mqtt://b", "--player", "a", "--mqtt-ca", badFile}
        << "--mqtt-ca is for an mqtts:// broker";
    QTest::newRow("bad credentials file")
        << true << port + QStringList{"--mqtt", "mqtt://b", "--player", "a", "--mqtt-credentials", badFile}
        << QStringLiteral("credentials file %1, line 2").arg(badFile);
    QTest::newRow("IPv6 broker, groups") << true << port + QStringList{"--mqtt",   "mqtts://[::1]:8884",
                                                                       "--player", "a",
                                                                       "--group",  "g"}
                                         << "";
    QTest::newRow("send: whom") << false << QStringList{"--mqtt", "mqtt://b", "play"}
                                << "name the player (--player ID) or the group";
    QTest::newRow("send: both") << false << QStringList{"--mqtt", "mqtt://b", "--player", "a", "--group", "g", "play"}
                                << "name the player (--player ID) or the group";
    QTest::newRow("send: port and broker") << false << QStringList{"--mqtt", "mqtt://b", "--player", "a", "play"} + port
                                           << "--mqtt sends through a broker: it takes no --port";
    QTest::newRow("send: group without broker")
        << false << QStringList{"--group", "g", "play"} + port << "--group is for a broker";
    QTest::newRow("send: listing and a command") << false << QStringList{"--mqtt", "mqtt://b", "--list-players", "play"}
                                                 << "--list-players takes no player, group or command";
    QTest::newRow("send: a group") << false << QStringList{"--mqtt", "mqtt://b", "--group", "shops", "play"} << "";
    QTest::newRow("send: watch without a listing") << false << QStringList{"--mqtt", "mqtt://b", "--watch"}
                                                   << "--watch keeps a listing up to date: it needs --list-players";
    QTest::newRow("send: watch without a broker")
        << false << QStringList{"--list-players", "--watch"} << "--list-players is for a broker";
    QTest::newRow("discovery without a broker")
        << true << port + QStringList{"--discovery"} << "--discovery is for a broker: it needs --mqtt URL";
    QTest::newRow("the office") << true << QStringList{"--mqtt",       "mqtt://b", "--office",
                                                       "0.0.0.0:8090", "--allow",  "10.0.0.0/8"}
                                << "";
    QTest::newRow("the office, as a service names no address")
        << true << QStringList{"--mqtt", "mqtt://b", "--office", "[::]:8090", "--listen", "off", "--web", "off"} << "";
    QTest::newRow("the office without a broker")
        << true << QStringList{"--office", "127.0.0.1:8090"} << "--office needs --mqtt URL";
    QTest::newRow("the office with a port")
        << true << QStringList{"--mqtt", "mqtt://b", "--office", "127.0.0.1:8090"} + port
        << "--port is for a player's bridge: --office holds no port";
    QTest::newRow("the office as a player")
        << true << QStringList{"--mqtt", "mqtt://b", "--office", "127.0.0.1:8090", "--player", "a"}
        << "--player is for a player's bridge";
    QTest::newRow("the office on no address")
        << true << QStringList{"--mqtt", "mqtt://b", "--office", "8090"} << "'8090' is not an address and port number";
}

void FleetTest::argumentChecks()
{
    QFETCH(bool, bridge);
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QFile bad(runtime.filePath(QStringLiteral("bad-credentials")));
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("username=office\npasswd=pass-S3cret\n");
    bad.close();
    const QString given = bridge ? parseBridgeArguments(arguments).error : parseSendArguments(arguments).error;
    QVERIFY2(error.isEmpty() ? given.isEmpty() : given.startsWith(error), qPrintable(given));
    QVERIFY2(!given.contains(QLatin1String("pass-")), "a password is never repeated");
}

QTEST_GUILESS_MAIN(FleetTest)
#include "tst_fleet.moc"
