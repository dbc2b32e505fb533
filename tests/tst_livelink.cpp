// The link as adapters come and go: a folder of the test's own stands for
// /dev, and a device in it is a link to a pseudo-terminal, made and removed
// as udev does when an adapter is plugged in or pulled out.
#include "app/portquery.h"
#include "base/configurationfile.h"
#include "tests/support/ptypair.h"
#include "tests/window/windowtesting.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>
#include <vector>

namespace {

// Plugging in and noticing: the watcher lets changes settle, then queries.
constexpr int appearMs = 2000;
constexpr int lostMs = 1000;

const QByteArray playFrame("\x20\xff\xff\xff", 4);

} // namespace

class LiveLinkTest : public QObject, private WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void listFollowsTheSystem();
    void lostAndBack_data();
    void lostAndBack();
    void savedAbsentPortIsAwaited();

private:
    // The adapter's device node, and the stable name udev adds below by-id.
    QString node(const QString &name) const { return devices.filePath(name); }
    QString byId(const QString &name) const { return devices.filePath(QLatin1String("by-id/usb-") + name); }
    void plug(const QString &name);
    void unplug(const QString &name);
    QStringList listed() const;
    QComboBox *ports() const { return child<QComboBox>(*window, "comboBox_Serial_Port"); }
    void playArrivesAt(PtyPair &device);
    void plugAndWaitUntilSeen(const QString &marker);

    QTemporaryDir devices;
    std::map<QString, std::unique_ptr<PtyPair>> plugged;
};

void LiveLinkTest::initTestCase()
{
    QVERIFY(devices.isValid());
    const QString folder = devices.path();
    setPortSource({[folder] {
                       QStringList names;
                       for (const QString &entry : QDir(folder).entryList(QDir::Files | QDir::System, QDir::Name))
                           names << QDir(folder).filePath(entry);
                       return names;
                   },
                   {folder}});
}

void LiveLinkTest::init()
{
    startWindowTest(WithoutWindow);
}

void LiveLinkTest::cleanup()
{
    stopWindowTest();
    while (!plugged.empty())
        unplug(plugged.begin()->first);
}

void LiveLinkTest::plug(const QString &name)
{
    auto device = std::make_unique<PtyPair>();
    QVERIFY(device->isValid());
    QVERIFY(QDir(devices.path()).mkpath(QStringLiteral("by-id")));
    QVERIFY(QFile::link(device->slavePath(), node(name)));
    QVERIFY(QFile::link(device->slavePath(), byId(name)));
    plugged[name] = std::move(device);
}

void LiveLinkTest::unplug(const QString &name)
{
    QFile::remove(byId(name));
    QDir(devices.path()).rmdir(QStringLiteral("by-id")); // gone with the last adapter
    QFile::remove(node(name));
    plugged.erase(name);
}

QStringList LiveLinkTest::listed() const
{
    QStringList items;
    for (int i = 0; i < ports()->count(); ++i)
        items << ports()->itemText(i);
    return items;
}

void LiveLinkTest::playArrivesAt(PtyPair &device)
{
    clickButton(*window, "pushButton_Play");
    QCOMPARE(device.read(4), playFrame);
    QCOMPARE(device.readRest(), QByteArray());
}

// Another adapter, plugged in after the changes to look at: once it shows,
// the watcher has seen them all and acted on them.
void LiveLinkTest::plugAndWaitUntilSeen(const QString &marker)
{
    plug(marker);
    QTRY_VERIFY_WITH_TIMEOUT(listed().contains(node(marker)), appearMs);
}

void LiveLinkTest::listFollowsTheSystem()
{
    startWindow();
    QCOMPARE(listed(), QStringList());

    plug(QStringLiteral("ttyUSB1"));
    QTRY_COMPARE_WITH_TIMEOUT(listed(), QStringList{node("ttyUSB1")}, appearMs);
    plug(QStringLiteral("ttyACM0"));
    QTRY_COMPARE_WITH_TIMEOUT(listed(), QStringList({node("ttyACM0"), node("ttyUSB1")}), appearMs);
    QCOMPARE(ports()->currentText(), node("ttyUSB1")); // the selection stays

    unplug(QStringLiteral("ttyUSB1"));
    QTRY_COMPARE_WITH_TIMEOUT(listed(), QStringList{node("ttyACM0")}, appearMs);
    QCOMPARE(ports()->currentText(), node("ttyACM0"));

    // What the operator is typing survives the list changing under it.
    ports()->lineEdit()->selectAll();
    QTest::keyClicks(ports()->lineEdit(), QStringLiteral("/dev/pts/12"));
    unplug(QStringLiteral("ttyACM0"));
    QTRY_COMPARE_WITH_TIMEOUT(listed(), QStringList(), appearMs);
    QCOMPARE(ports()->currentText(), QStringLiteral("/dev/pts/12"));
}

void LiveLinkTest::lostAndBack_data()
{
    QTest::addColumn<QString>("typed"); // "by-id": its by-id link, which no list shows; "pts": /dev/pts/N
    QTest::addColumn<bool>("autoConnect");
    QTest::addColumn<bool>("closedFirst"); // the operator pressed Close before the device went
    QTest::addColumn<bool>("reopened");

    QTest::newRow("auto-connection") << "" << true << false << true;
    QTest::newRow("auto-connection, typed by-id link") << "by-id" << true << false << true;
    QTest::newRow("no auto-connection") << "" << false << false << false;
    QTest::newRow("closed by the operator") << "" << true << true << false;
    // A new pseudo-terminal with the old number is someone else's.
    QTest::newRow("auto-connection, pseudo-terminal by number") << "pts" << true << false << false;
}

void LiveLinkTest::lostAndBack()
{
    QFETCH(QString, typed);
    QFETCH(bool, autoConnect);
    QFETCH(bool, closedFirst);
    QFETCH(bool, reopened);
    const QString device = QStringLiteral("ttyUSB0");
    const bool byIdLink = typed == QLatin1String("by-id");
    const bool numbered = typed == QLatin1String("pts");

    plug(device);
    const QString port = byIdLink ? byId(device) : numbered ? plugged[device]->slavePath() : node(device);
    startWindow();
    child<QCheckBox>(*window, "checkBox_AutoConnect")->setChecked(autoConnect);
    ports()->setCurrentText(port);
    clickButton(*window, "pushButton_Open");
    QCOMPARE(status(), QStringLiteral("Open"));
    if (closedFirst)
        clickButton(*window, "pushButton_Close");

    // Pulled out while open and idle: noticed without a command being sent.
    unplug(device);
    if (!closedFirst) {
        QTRY_VERIFY_WITH_TIMEOUT(!serialPort->isOpen(), lostMs);
        QCOMPARE(status(), QStringLiteral("Serial port lost: ") + port
                               + (numbered ? QStringLiteral(" (a pseudo-terminal does not come back)") : QString()));
        QVERIFY(child<QWidget>(*window, "pushButton_Open")->isEnabled());
        QVERIFY(!child<QWidget>(*window, "groupBox_Transport")->isEnabled());
    }
    plugAndWaitUntilSeen(QStringLiteral("ttyACM8"));
    // A lost port stays shown while it is awaited; a closed one left.
    QCOMPARE(listed().contains(node(device)), !closedFirst && typed.isEmpty());

    plug(device);
    // The system hands out the lowest free number, so the old one is most
    // likely back already, on another program's pseudo-terminal.
    std::vector<std::unique_ptr<PtyPair>> others;
    while (numbered && !QFileInfo::exists(port) && others.size() < 20)
        others.push_back(std::make_unique<PtyPair>());
    plugAndWaitUntilSeen(QStringLiteral("ttyACM9"));
    QCOMPARE(serialPort->isOpen(), reopened);
    if (!closedFirst)
        QCOMPARE(ports()->currentText(), port);
    if (reopened) {
        QCOMPARE(status(), QStringLiteral("Serial port reconnected: ") + port);
        playArrivesAt(*plugged[device]);
    }
}

void LiveLinkTest::savedAbsentPortIsAwaited()
{
    Configuration saved;
    saved.port = node(QStringLiteral("ttyUSB3"));
    saved.baudRate = QStringLiteral("115200");
    saved.autoConnect = true;
    QVERIFY(writeConfigurationFile(savedSettingsPath(), saved));
    plug(QStringLiteral("ttyUSB2")); // another device is there: it must not be opened
    startWindow();
    QVERIFY(!serialPort->isOpen());
    QCOMPARE(ports()->currentText(), saved.port);
    QCOMPARE(status(), QStringLiteral("Waiting for ") + saved.port);

    plug(QStringLiteral("ttyUSB3"));
    QTRY_VERIFY_WITH_TIMEOUT(serialPort->isOpen(), appearMs);
    playArrivesAt(*plugged[QStringLiteral("ttyUSB3")]);
    QCOMPARE(plugged[QStringLiteral("ttyUSB2")]->readRest(), QByteArray());
}

QTEST_MAIN(LiveLinkTest)
#include "tst_livelink.moc"
