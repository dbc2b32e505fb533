// The web remote's parts that need no browser: the language a browser asks
// for, the key's file, the links handed out, the page's texts, which must
// all come from the console's translation, and which connection gives way
// when the slots are full.
#include "link/commandintake.h"
#include "link/playerlink.h"
#include "remote/remotekey.h"
#include "remote/remotepolicy.h"
#include "remote/remotetexts.h"
#include "tests/support/ptypair.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

// What a connection has shown before the slots fill: the key, none, a
// wrong one, or no whole request yet.
enum class Shown { Key, NoKey, WrongKey, Nothing };
using Connections = QList<QPair<QString, Shown>>;

class RemoteTest : public QObject
{
    Q_OBJECT

private slots:
    void languageOfTheBrowser_data();
    void languageOfTheBrowser();
    void keyFile_data();
    void keyFile();
    void linksHandedOut_data();
    void linksHandedOut();
    void everyTextOfThePageIsTranslated();
    void whoGivesWayWhenTheSlotsAreFull_data();
    void whoGivesWayWhenTheSlotsAreFull();
    void pagesHearWhenTheDeviceGoes();
};

void RemoteTest::languageOfTheBrowser_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("french");

    QTest::newRow("a French browser") << QByteArray("fr-CH, fr;q=0.9, en;q=0.8, de;q=0.7, *;q=0.5") << true;
    QTest::newRow("an English one") << QByteArray("en-US,en;q=0.9,fr;q=0.8") << false;
    QTest::newRow("French after a language there is not") << QByteArray("de-DE,de;q=0.9,fr;q=0.5") << true;
    QTest::newRow("weights out of order") << QByteArray("en;q=0.4, fr;q=0.8") << true;
    QTest::newRow("French refused") << QByteArray("fr;q=0, en;q=0.1") << false;
    QTest::newRow("capitals") << QByteArray("FR-be") << true;
    QTest::newRow("none of them") << QByteArray("de, it;q=0.9") << false;
    QTest::newRow("no header") << QByteArray() << false;
    QTest::newRow("a weight that is no number") << QByteArray("fr;q=lots, en;q=0.2") << false;
    QTest::newRow("a weight above one") << QByteArray("fr;q=7, en;q=0.2") << false;
    QTest::newRow("garbage") << QByteArray("\xff;;,,;q=,-fr") << false;
}

void RemoteTest::languageOfTheBrowser()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, french);
    QCOMPARE(pageLanguage(header) == PageLanguage::French, french);
}

// A file others could read gives the key away: it is refused, never fixed
// behind the operator's back.
void RemoteTest::keyFile_data()
{
    QTest::addColumn<QByteArray>("content"); // what the file holds first; none: no file
    QTest::addColumn<QFile::Permissions>("permissions");
    QTest::addColumn<QString>("error"); // empty: the key is made or read

    const QFile::Permissions mine = QFile::ReadOwner | QFile::WriteOwner;
    QTest::newRow("none yet") << QByteArray() << mine << "";
    QTest::newRow("the operator's own") << QByteArray("an-operators-own-key_0123456789\n") << mine << "";
    QTest::newRow("readable by the group") << QByteArray("an-operators-own-key_0123456789\n")
                                           << (mine | QFile::ReadGroup) << "can be read or changed by other users";
    QTest::newRow("writable by others") << QByteArray("an-operators-own-key_0123456789\n") << (mine | QFile::WriteOther)
                                        << "can be read or changed by other users";
    QTest::newRow("too short") << QByteArray("short\n") << mine << "holds no key";
    QTest::newRow("empty") << QByteArray("\n") << mine << "holds no key";
    QTest::newRow("not a word") << QByteArray("an operator's own key, 0123456789\n") << mine << "holds no key";
}

void RemoteTest::keyFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QFile::Permissions, permissions);
    QFETCH(QString, error);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("tunaris-bridge/web-key"));
    if (!content.isEmpty()) {
        QVERIFY(QDir().mkpath(folder.filePath(QStringLiteral("tunaris-bridge"))));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QVERIFY(file.setPermissions(permissions));
    }
    QString reason;
    const QByteArray key = loadOrMakeRemoteKey(path, &reason);
    QVERIFY2(reason.contains(error), qPrintable(reason));
    QCOMPARE(key.isEmpty(), !error.isEmpty());
    if (key.isEmpty())
        return;
    const QFile::Permissions forThisUser = QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
    QCOMPARE(QFile::permissions(path) & ~forThisUser, permissions);
    if (content.isEmpty())
        QCOMPARE(key.size(), 22);
    else
        QCOMPARE(key, content.trimmed());
    QCOMPARE(loadOrMakeRemoteKey(path, &reason), key); // the same at the next start
    QVERIFY(!isRemoteKey(key.left(key.size() - 1) + '!', key));
    QVERIFY(!isRemoteKey(key + 'x', key));
    QVERIFY(!isRemoteKey(QByteArray(), QByteArray()));
}

// clang-format off
void RemoteTest::linksHandedOut_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("link");

    QTest::newRow("an address of its own") << "192.168.1.20:8080" << "http://192.168.1.20:8080/?key=K";
    QTest::newRow("IPv6, in brackets") << "[fd00::1]:8080" << "http://[fd00::1]:8080/?key=K";
    QTest::newRow("any address, loopback served only") << "0.0.0.0:8080" << "http://127.0.0.1:8080/?key=K";
    QTest::newRow("IPv6 any address, loopback served only") << "[::]:8080" << "http://127.0.0.1:8080/?key=K";
}
// clang-format on

void RemoteTest::linksHandedOut()
{
    QFETCH(QString, listen);
    QFETCH(QString, link);
    const auto address = CommandListener::parseListenAddress(listen);
    QVERIFY(address);
    QCOMPARE(remoteLinks(address->first, address->second, {}, "K"), QStringList{link});
}

// Every text the page shows is looked up in the table the bridge sends,
// and in French none of the page's own texts is left in English.
void RemoteTest::everyTextOfThePageIsTranslated()
{
    QFile script(QStringLiteral(":/remote/page/remote.js"));
    QVERIFY(script.open(QIODevice::ReadOnly));
    QString code = QString::fromUtf8(script.readAll());
    code.remove(QRegularExpression(QStringLiteral("//[^\n]*")));
    // Every literal that reads as a text or a command name, "Folder" or
    // "%1 volume", whether it goes to t() at once or by way of a name.
    static const QRegularExpression literal(QStringLiteral("\"((?:%1|[A-Z][A-Za-z])[^\"]*)\""));
    QStringList used;
    for (auto match = literal.globalMatch(code); match.hasNext();)
        used << match.next().captured(1);
    used.removeAll(QStringLiteral("POST"));
    QVERIFY(used.contains("FTP Client") && used.contains("Load folder") && used.contains("%1 (not sent)"));

    const QJsonObject english = QJsonDocument::fromJson(pageTexts(PageLanguage::English))["texts"].toObject();
    const QJsonObject french = QJsonDocument::fromJson(pageTexts(PageLanguage::French))["texts"].toObject();
    for (const QString &text : std::as_const(used))
        QVERIFY2(english.contains(text), qPrintable(text + " is not in the page's texts"));
    for (auto text = english.begin(); text != english.end(); ++text) {
        const bool sameInFrench =
            QStringList{"Transport", "Spot", "Source", "Volume", "Min", "Max", "Pause", "Tunaris - Serial Console",
                        "XLR",       "RCA"}
                .contains(text.key());
        QVERIFY2(sameInFrench || french.value(text.key()) != text.value(),
                 qPrintable(text.key() + " is not translated"));
    }
}

// Connections, oldest first, each from its address and having shown what it
// did; then one more comes.
void RemoteTest::whoGivesWayWhenTheSlotsAreFull_data()
{
    QTest::addColumn<Connections>("connections");
    QTest::addColumn<QString>("newcomer");
    // The connection that gives way to the newcomer; -1: none, the newcomer
    // is refused; -2: none, there is room for it.
    QTest::addColumn<int>("closed");

    const auto from = [](const QString &address, int count, Shown shown) {
        return Connections(count, {QStringLiteral("127.0.0.") + address, shown});
    };
    // Every slot, sixteen from each of four addresses, all with the key but those named.
    const auto full = [](QList<QPair<int, Shown>> except) {
        Connections connections;
        for (int i = 0; i < RemotePolicy::MaxConnections; ++i)
            connections << qMakePair(QStringLiteral("127.0.0.%1").arg(2 + i / RemotePolicy::MaxConnectionsPerAddress),
                                     Shown::Key);
        for (const auto &[index, shown] : except)
            connections[index].second = shown;
        return connections;
    };
    const int perAddress = RemotePolicy::MaxConnectionsPerAddress;
    QTest::newRow("one that asked without the key, before an older silent one")
        << full({{0, Shown::Nothing}, {9, Shown::NoKey}}) << "127.0.0.9" << 9;
    QTest::newRow("from the address holding the most without the key, though another's is older")
        << full({{0, Shown::NoKey}, {17, Shown::Nothing}, {16, Shown::Nothing}}) << "127.0.0.9" << 16;
    QTest::newRow("the oldest of those that asked without the key")
        << full({{40, Shown::NoKey}, {5, Shown::NoKey}}) << "127.0.0.9" << 5;
    QTest::newRow("a wrong key is no key") << full({{33, Shown::WrongKey}}) << "127.0.0.9" << 33;
    QTest::newRow("silent ones only: the oldest")
        << full({{7, Shown::Nothing}, {3, Shown::Nothing}}) << "127.0.0.9" << 3;
    QTest::newRow("every slot holds the key") << full({}) << "127.0.0.9" << -1;
    QTest::newRow("its address full: one of its own, though others' are older")
        << from("3", 2, Shown::NoKey) + from("2", perAddress - 1, Shown::Key) + from("2", 1, Shown::NoKey)
        << "127.0.0.2" << 2 + perAddress - 1;
    QTest::newRow("its address full of keys, room elsewhere") << from("2", perAddress, Shown::Key) << "127.0.0.2" << -1;
    QTest::newRow("another address full, room here") << from("2", perAddress, Shown::NoKey) << "127.0.0.3" << -2;
}

void RemoteTest::whoGivesWayWhenTheSlotsAreFull()
{
    QFETCH(Connections, connections);
    QFETCH(QString, newcomer);
    QFETCH(int, closed);

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    RemotePolicy policy({"the-key", "tunaris_key", QStringLiteral("the web remote")}, [](const QString &) {});
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    const auto connectFrom = [&](const QString &address) -> QTcpSocket * {
        clients.push_back(std::make_unique<QTcpSocket>());
        if (!clients.back()->bind(QHostAddress(address)))
            return nullptr;
        clients.back()->connectToHost(QHostAddress::LocalHost, server.serverPort());
        return server.waitForNewConnection(5000) ? server.nextPendingConnection() : nullptr;
    };
    // A request with the key, with none, with a wrong one.
    const RemotePolicy::Key keyOf[] = {RemotePolicy::Key::Held, RemotePolicy::Key::None, RemotePolicy::Key::Wrong};
    QList<QTcpSocket *> held;
    for (const auto &[address, shown] : std::as_const(connections)) {
        QTcpSocket *socket = connectFrom(address);
        QVERIFY(socket);
        QVERIFY(policy.admit(socket));
        if (shown != Shown::Nothing)
            policy.requestRead(socket, keyOf[int(shown)]);
        held << socket;
    }
    QTcpSocket *next = connectFrom(newcomer);
    QVERIFY(next);
    QCOMPARE(policy.admit(next), closed != -1);
    for (int i = 0; i < held.size(); ++i) {
        QVERIFY2((held.at(i)->state() == QAbstractSocket::UnconnectedState) == (i == closed),
                 qPrintable(QString::number(i)));
    }
}

// The pages show the link as the delivery knows it: open while it holds
// the port, lost, with the reason, once the device went away under it.
void RemoteTest::pagesHearWhenTheDeviceGoes()
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    PtyPair pty;
    QVERIFY(pty.isValid());
    PlayerLink link(pty.slavePath(), PlayerLink::Options{});
    CommandIntake intake(&link);
    QSignalSpy changed(&link, &PlayerLink::stateChanged);
    QString error;
    QVERIFY2(link.open(&error), qPrintable(error));
    QVERIFY(changed.wait());
    QCOMPARE(int(link.state().kind), int(PlayerLink::State::Kind::Open));

    pty.closeMaster();
    std::optional<SendOutcome> outcome;
    intake.take(CommandIntake::client({"test", "", ""}), PlayerCommand::transportCommand(Commands::Play),
                [&outcome](const CommandIntake::Reply &reply) { outcome = reply.outcome; });
    QTRY_VERIFY(outcome.has_value());
    QVERIFY(!outcome->isSent());
    QTRY_COMPARE(int(link.state().kind), int(PlayerLink::State::Kind::Lost));
    QVERIFY(!link.state().reason.isEmpty());
    QTRY_VERIFY(changed.size() >= 2); // told the pages, not only changed
}

QTEST_GUILESS_MAIN(RemoteTest)
#include "tst_remote.moc"
