// The settings file: read into the window at start, written at exit, on real
// files beside the test program; the saves that must not lose settings run
// in child processes with real limits on writing.
#include "app/portquery.h"
#include "base/configurationfile.h"
#include "base/version.h"
#include "tests/window/consolechild.h"
#include "tests/window/windowonpty.h"
#include "tests/window/windowtesting.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>

#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const QByteArray acceptedFirstLine("QRB11.00");

// A settings file as the program writes it, with the first line given.
QByteArray settingsText(const QByteArray &firstLine, const QByteArray &port, const QByteArray &baudRate,
                        const QByteArray &autoConnect, const QByteArray &language)
{
    const QByteArray rule(40, '*');
    return firstLine
           + "\n"
             "Tunaris - Serial Console  - Configuration File\n"
             "Generate by: Tunaris - Serial Console " TUNARIS_VERSION "\n"
           + rule + "\nSerial Port\n" + rule + "\n" + port + "\n" + rule + "\nBaudrate\n" + rule + "\n" + baudRate
           + "\n" + rule + "\nAuto-connect\n" + rule + "\n" + autoConnect + "\n" + rule + "\nLanguage\n" + rule + "\n"
           + language + "\n";
}

QByteArray validSettings(const QByteArray &baudRate, const QByteArray &autoConnect, const QByteArray &language)
{
    return settingsText(acceptedFirstLine, "ttyUNLISTED", baudRate, autoConnect, language);
}

QByteArray firstLines(const QByteArray &text, int count)
{
    return text.split('\n').mid(0, count).join('\n');
}

QByteArray storedLanguage(const QString &checkedEntry)
{
    if (checkedEntry == QLatin1String("actionEnglish"))
        return "English";
    if (checkedEntry == QLatin1String("actionFran_ais"))
        return "French";
    return "(default)";
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(contents), contents.size());
}

// Every write to a file fails, as on a full disk, instead of killing the
// process with SIGXFSZ.
void forbidWritingFiles()
{
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_FSIZE, &none);
    ::signal(SIGXFSZ, SIG_IGN);
}

// Root writes anywhere through this capability: without it, the folder's
// permissions hold for root too. A normal user has nothing to drop.
void dropWritingAnywhere()
{
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
}

QStringList filesNamedLikeSettings(const QString &directory)
{
    return QDir(directory).entryList({QStringLiteral("Tunaris - Serial Console.cfg*")},
                                     QDir::AllEntries | QDir::Hidden);
}

} // namespace

class ConfigurationTest : public QObject, private WindowOnPty
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void writtenFile_data();
    void writtenFile();
    void roundTrip_data();
    void roundTrip();
    void autoConnectionAtStart_data();
    void autoConnectionAtStart();
    void autoConnectionWaitsForTheList();
    void oddFiles_data();
    void oddFiles();
    void storedValueSelectsItem_data();
    void storedValueSelectsItem();
    void failedSaveKeepsTheOldFile_data();
    void failedSaveKeepsTheOldFile();
    void savedWhereTheUserCanWrite_data();
    void savedWhereTheUserCanWrite();
    void portableFolders_data();
    void portableFolders();

private:
    QComboBox *ports() const { return child<QComboBox>(*window, "comboBox_Serial_Port"); }
    QComboBox *baudRates() const { return child<QComboBox>(*window, "comboBox_Serial_Baudrate"); }
    QCheckBox *autoConnect() const { return child<QCheckBox>(*window, "checkBox_AutoConnect"); }
    void checkLanguageEntries(const QStringList &names);
};

void ConfigurationTest::init()
{
    // A saved auto-connection opens a port at start: let it be a
    // pseudo-terminal of the test's own, never a real port of the machine.
    startOnPty(WithoutWindow);
    listPorts({QStringLiteral("/dev/tunaris-no-such-port"), pty->slavePath()});
}

void ConfigurationTest::cleanup()
{
    // A saved auto-connection or language would change the next test's start.
    stopOnPty();
    QDir().rmdir(savedSettingsPath());
}

void ConfigurationTest::checkLanguageEntries(const QStringList &names)
{
    for (const char *name : {"actionDefault", "actionEnglish", "actionFran_ais"})
        child<QAction>(*window, name)->setChecked(names.contains(QLatin1String(name)));
}

// clang-format off
void ConfigurationTest::writtenFile_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("baudRate");
    QTest::addColumn<bool>("autoConnect");
    QTest::addColumn<QStringList>("checkedEntries");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("default language") << "ttyUSB7" << "9600" << false << QStringList{"actionDefault"}
                                      << settingsText("QRB11.00", "ttyUSB7", "9600", "0", "(default)");
    QTest::newRow("English, auto-connect") << "ttyUSB7" << "115200" << true << QStringList{"actionEnglish"}
                                           << settingsText("QRB11.00", "ttyUSB7", "115200", "1", "English");
    QTest::newRow("French") << "COM3" << "38400" << false << QStringList{"actionFran_ais"}
                            << settingsText("QRB11.00", "COM3", "38400", "0", "French");
    QTest::newRow("English and French checked") << "COM3" << "14400" << true
                                                << QStringList{"actionEnglish", "actionFran_ais"}
                                                << settingsText("QRB11.00", "COM3", "14400", "1", "French");
    QTest::newRow("no entry checked") << "COM3" << "19200" << false << QStringList{}
                                      << settingsText("QRB11.00", "COM3", "19200", "0", "(default)");
    QTest::newRow("no serial port") << "" << "57600" << false << QStringList{"actionDefault"}
                                    << settingsText("QRB11.00", "", "57600", "0", "(default)");
}
// clang-format on

void ConfigurationTest::writtenFile()
{
    QFETCH(QString, port);
    QFETCH(QString, baudRate);
    QFETCH(bool, autoConnect);
    QFETCH(QStringList, checkedEntries);
    QFETCH(QByteArray, expected);

    startWindow();
    ports()->clear();
    if (!port.isEmpty())
        selectPort(*window, port);
    selectBaudRate(*window, baudRate);
    this->autoConnect()->setChecked(autoConnect);
    checkLanguageEntries(checkedEntries);
    // Nothing is written before the exit.
    QVERIFY(!QFile::exists(savedSettingsPath()));
    window.reset();

    QCOMPARE(readFile(savedSettingsPath()), expected);
}

// clang-format off
void ConfigurationTest::roundTrip_data()
{
    QTest::addColumn<QString>("baudRate");
    QTest::addColumn<bool>("autoConnect");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("serialTitle");

    QTest::newRow("French, 9600") << "9600" << false << "actionFran_ais" << "Port série";
    QTest::newRow("English, 57600, auto-connect") << "57600" << true << "actionEnglish" << "Serial Port";
    QTest::newRow("default, 115200") << "115200" << false << "actionDefault" << "Serial Port";
    QTest::newRow("French, 14400, auto-connect") << "14400" << true << "actionFran_ais" << "Port série";
}
// clang-format on

void ConfigurationTest::roundTrip()
{
    QFETCH(QString, baudRate);
    QFETCH(bool, autoConnect);
    QFETCH(QString, language);
    QFETCH(QString, serialTitle);

    startWindow();
    // The last listed port, so that restoring it is more than the default.
    ports()->setCurrentIndex(ports()->count() - 1);
    const QString port = ports()->currentText();
    selectBaudRate(*window, baudRate);
    this->autoConnect()->setChecked(autoConnect);
    child<QAction>(*window, qPrintable(language))->trigger();
    window.reset();

    startWindow();
    QCOMPARE(ports()->currentText(), port);
    QCOMPARE(baudRates()->currentText(), baudRate);
    QCOMPARE(this->autoConnect()->isChecked(), autoConnect);
    QCOMPARE(checkedLanguageEntries(*window), language);
    // The language is applied at start, not only checked.
    QCOMPARE(child<QGroupBox>(*window, "groupBox_Serial")->title(), serialTitle);
}

void ConfigurationTest::autoConnectionAtStart_data()
{
    QTest::addColumn<QStringList>("listed"); // "pty" stands for the test's pseudo-terminal
    QTest::addColumn<QByteArray>("savedPort");
    QTest::addColumn<QByteArray>("autoConnect");
    QTest::addColumn<QString>("status");

    const QString missing = QStringLiteral("/dev/tunaris-no-such-port");
    QTest::newRow("saved port listed") << QStringList{missing, "pty"} << QByteArray("pty") << QByteArray("1") << "Open";
    // Opening whatever else is listed would send the player's commands to
    // another device: an absent saved port is waited for.
    QTest::newRow("saved port absent") << QStringList{"pty", missing} << QByteArray("ttyUNLISTED") << QByteArray("1")
                                       << "Waiting for ttyUNLISTED";
    QTest::newRow("no port at all") << QStringList{} << QByteArray("ttyUNLISTED") << QByteArray("1")
                                    << "Waiting for ttyUNLISTED";
    // A pseudo-terminal or a typed path is never listed, yet it is there.
    QTest::newRow("saved port present, not listed")
        << QStringList{missing} << QByteArray("pty") << QByteArray("1") << "Open";
    QTest::newRow("no auto-connection") << QStringList{"pty"} << QByteArray("pty") << QByteArray("0") << "...";
}

void ConfigurationTest::autoConnectionAtStart()
{
    QFETCH(QStringList, listed);
    QFETCH(QByteArray, savedPort);
    QFETCH(QByteArray, autoConnect);
    QFETCH(QString, status);

    listed.replaceInStrings(QRegularExpression(QStringLiteral("^pty$")), pty->slavePath());
    if (savedPort == "pty")
        savedPort = pty->slavePath().toUtf8();
    listPorts(listed);
    writeFile(savedSettingsPath(), settingsText(acceptedFirstLine, savedPort, "9600", autoConnect, "English"));
    serialPort->setBaudRate(19200);
    startWindow();
    QVERIFY(!window->isVisible());

    // The Open step ran with the first port list, and with the loaded rate.
    const QString shown = WindowTest::status(); // the column "status" hides it
    QVERIFY2(shown.startsWith(status), qPrintable(shown));
    const bool opened = status == QLatin1String("Open");
    QCOMPARE(serialPort->isOpen(), opened);
    QCOMPARE(serialPort->baudRate(), opened ? 9600 : 19200);
    QCOMPARE(ports()->currentText().toUtf8(), savedPort);
    QCOMPARE(child<QWidget>(*window, "pushButton_Close")->isEnabled(), opened);
    QCOMPARE(child<QWidget>(*window, "groupBox_Transport")->isEnabled(), opened);
    if (opened) {
        // Connected without the window being shown: a command goes out.
        window->sendCommand(QStringLiteral("Play"), Commands::transport(Commands::Play));
        QCOMPARE(pty->read(4), QByteArray("\x20\xff\xff\xff", 4));
    }
}

// The window does not wait for the system's ports, and a saved
// auto-connection waits for them instead of being lost.
void ConfigurationTest::autoConnectionWaitsForTheList()
{
    const QString device = pty->slavePath();
    auto asked = std::make_shared<QSemaphore>();
    auto answer = std::make_shared<QSemaphore>();
    // Held until the test lets it answer; the time limit turns a window that
    // waits for it into a failure instead of a hang.
    setPortSource({[=] {
                       asked->release();
                       answer->tryAcquire(1, 20000);
                       return QStringList{device};
                   },
                   {}});
    writeFile(savedSettingsPath(), settingsText(acceptedFirstLine, device.toUtf8(), "9600", "1", "English"));
    const auto answerAnyway = qScopeGuard([answer] { answer->release(); });
    window = std::make_unique<MainWindow>();
    QTRY_VERIFY(asked->available() > 0);

    QVERIFY(!serialPort->isOpen());
    QCOMPARE(WindowTest::status(), QStringLiteral("..."));
    QCOMPARE(ports()->currentText(), device);
    answer->release();
    QTRY_VERIFY(serialPort->isOpen());
    QCOMPARE(WindowTest::status(), QStringLiteral("Open"));
    window->sendCommand(QStringLiteral("Play"), Commands::transport(Commands::Play));
    QCOMPARE(pty->read(4), QByteArray("\x20\xff\xff\xff", 4));
}

void ConfigurationTest::oddFiles_data()
{
    QTest::addColumn<QByteArray>("file"); // null: no file at all
    QTest::addColumn<bool>("directory");  // a folder in place of the file
    QTest::addColumn<QString>("baudRate");
    QTest::addColumn<bool>("autoConnect");
    QTest::addColumn<QString>("language");
    QTest::addColumn<bool>("savedPortShown"); // else the first listed port

    const QString untouched = QStringLiteral("115200"); // as the window fills the list
    const QString firstItem = QStringLiteral("9600");
    // Only the rows about the auto-connection value save one.
    const QByteArray full = validSettings("19200", "0", "French");

    QTest::newRow("missing file") << QByteArray() << false << untouched << false << "actionDefault" << false;
    QTest::newRow("empty file") << QByteArray("") << false << untouched << false << "actionDefault" << false;
    QTest::newRow("folder in place of the file")
        << QByteArray() << true << untouched << false << "actionDefault" << false;
    QTest::newRow("only a valid first line")
        << QByteArray("QRB11.00\n") << false << firstItem << false << "actionDefault" << false;
    QTest::newRow("first line without line end")
        << QByteArray("QRB11.00") << false << firstItem << false << "actionDefault" << false;

    QTest::newRow("QRB12.00 rejected") << settingsText("QRB12.00", "p", "19200", "0", "French") << false << untouched
                                       << false << "actionDefault" << false;
    QTest::newRow("lower-case identifier rejected") << settingsText("qrb11.00", "p", "19200", "0", "French") << false
                                                    << untouched << false << "actionDefault" << false;
    QTest::newRow("QRB11.001 accepted") << settingsText("QRB11.001", "p", "19200", "0", "French") << false << "19200"
                                        << false << "actionFran_ais" << true;
    QTest::newRow("QRB1 version 1.00 accepted") << settingsText("QRB1 version 1.00", "p", "19200", "0", "French")
                                                << false << "19200" << false << "actionFran_ais" << true;
    QTest::newRow("version before identifier") << settingsText("1.00 QRB1", "p", "19200", "0", "French") << false
                                               << "19200" << false << "actionFran_ais" << true;
    QTest::newRow("CR LF line ends") << QByteArray(full).replace("\n", "\r\n") << false << "19200" << false
                                     << "actionFran_ais" << true;

    QTest::newRow("truncated after the baud rate")
        << firstLines(full, 11) << false << "19200" << false << "actionDefault" << true;
    QTest::newRow("truncated inside line 15")
        << firstLines(validSettings("19200", "2", "French"), 15) << false << "19200" << true << "actionDefault" << true;
    QTest::newRow("truncated inside line 19")
        << QByteArray(full).left(full.size() - 4) << false << "19200" << false << "actionDefault" << true;

    QByteArray binary;
    for (int i = 0; i < 64 * 256; ++i)
        binary += char(i % 256);
    QTest::newRow("binary file") << binary << false << untouched << false << "actionDefault" << false;
    QTest::newRow("binary after a valid first line") << "QRB11.00\n" + QByteArray(binary).replace('\n', ' ') << false
                                                     << firstItem << false << "actionDefault" << false;
    QTest::newRow("NUL inside the baud rate") << validSettings(QByteArray("192\0"
                                                                          "00",
                                                                          6),
                                                               "0", "English")
                                              << false << firstItem << false << "actionEnglish" << true;

    QByteArray junkLines;
    for (int i = 0; i < 200000; ++i)
        junkLines += "junk junk junk junk junk junk junk junk junk junk junk junk junk junk junk junk\n";
    QTest::newRow("huge file after valid settings")
        << validSettings("38400", "0", "English") + junkLines << false << "38400" << false << "actionEnglish" << true;
    QTest::newRow("huge first line") << QByteArray(16 << 20, 'x') + "\n" + full.mid(full.indexOf('\n') + 1) << false
                                     << untouched << false << "actionDefault" << false;
    QTest::newRow("huge line before the values")
        << "QRB11.00\n" + QByteArray(16 << 20, 'x') + "\n" + full.mid(full.indexOf("Generate")) << false << "19200"
        << false << "actionFran_ais" << true;

    QTest::newRow("trailing blanks") << settingsText("QRB11.00", "p ", "19200 ", "0", "French ") << false << firstItem
                                     << false << "actionDefault" << true;

    const std::pair<const char *, bool> autoValues[] = {{"2", true}, {"-1", true},   {"0", false}, {"yes", false},
                                                        {"", false}, {"0x1", false}, {"007", true}};
    for (const auto &[value, checked] : autoValues) {
        QTest::addRow("auto-connect '%s'", value)
            << validSettings("57600", value, "English") << false << "57600" << checked << "actionEnglish" << true;
    }
    const std::pair<const char *, const char *> languages[] = {
        {"English", "actionEnglish"}, {"French", "actionFran_ais"},  {"(default)", "actionDefault"},
        {"english", "actionDefault"}, {"Francais", "actionDefault"}, {"Français", "actionDefault"},
        {"", "actionDefault"}};
    for (const auto &[value, entry] : languages) {
        QTest::addRow("language '%s'", value)
            << validSettings("57600", "0", value) << false << "57600" << false << entry << true;
    }
}

void ConfigurationTest::oddFiles()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, directory);
    QFETCH(QString, baudRate);
    QFETCH(bool, autoConnect);
    QFETCH(QString, language);
    QFETCH(bool, savedPortShown);

    if (directory)
        QVERIFY(QDir().mkdir(savedSettingsPath()));
    else if (!file.isNull())
        writeFile(savedSettingsPath(), file);

    startWindow();
    // The saved port is never among the listed ones; it is shown all the
    // same, so that an auto-connection waits for it.
    if (savedPortShown)
        QCOMPARE(ports()->currentText().toUtf8(), file.split('\n').value(6).replace("\r", ""));
    else
        QCOMPARE(ports()->currentIndex(), ports()->count() > 0 ? 0 : -1);
    QCOMPARE(baudRates()->currentText(), baudRate);
    QCOMPARE(this->autoConnect()->isChecked(), autoConnect);
    QCOMPARE(checkedLanguageEntries(*window), language);

    // Whatever was there is replaced at exit by a file of the current format;
    // a folder in the way stays, and the save fails silently.
    const QByteArray expectedAtExit =
        settingsText(acceptedFirstLine, ports()->currentText().toUtf8(), baudRate.toUtf8(), autoConnect ? "1" : "0",
                     storedLanguage(language));
    window.reset();
    if (directory) {
        QVERIFY(QFileInfo(savedSettingsPath()).isDir());
    } else {
        QCOMPARE(readFile(savedSettingsPath()), expectedAtExit);
    }
}

void ConfigurationTest::storedValueSelectsItem_data()
{
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("index");

    const QStringList listed = {"ttyS0", "ttyUSB0", "COM3", "ttyUSB0", "COM4"};
    QTest::newRow("listed once") << listed << "COM3" << 2;
    QTest::newRow("listed twice: the later one") << listed << "ttyUSB0" << 3;
    QTest::newRow("not listed: the first") << listed << "ttyACM0" << 0;
    QTest::newRow("other case") << listed << "com3" << 0;
    QTest::newRow("trailing blank") << listed << "COM3 " << 0;
    QTest::newRow("empty value") << listed << "" << 0;
    QTest::newRow("empty item listed") << QStringList{"COM1", ""} << "" << 1;
    QTest::newRow("empty list") << QStringList{} << "COM3" << 0;
}

void ConfigurationTest::storedValueSelectsItem()
{
    QFETCH(QStringList, items);
    QFETCH(QString, value);
    QFETCH(int, index);
    QCOMPARE(indexForStoredValue(items, value), index);
}

void ConfigurationTest::failedSaveKeepsTheOldFile_data()
{
    QTest::addColumn<bool>("writingFails");
    QTest::addColumn<QString>("linkedTo"); // the settings path a link to: "fifo", "device"; else a file
    QTest::newRow("writing works") << false << "";
    QTest::newRow("every write fails") << true << "";
    // What the link leads to must stay: as root, a link to /dev/null would
    // have replaced /dev/null with a settings file.
    QTest::newRow("link to a pipe") << false << "fifo";
    QTest::newRow("link to a device node") << false << "device";
}

void ConfigurationTest::failedSaveKeepsTheOldFile()
{
    QFETCH(bool, writingFails);
    QFETCH(QString, linkedTo);

    const QByteArray old = validSettings("19200", "0", "English");
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    const QByteArray node = QFile::encodeName(elsewhere.filePath(QStringLiteral("node")));
    if (linkedTo == QLatin1String("fifo"))
        QVERIFY(::mkfifo(node.constData(), 0600) == 0);
    else if (linkedTo == QLatin1String("device") && ::mknod(node.constData(), S_IFCHR | 0600, makedev(1, 3)) != 0)
        QSKIP("Only root makes device nodes.");
    if (linkedTo.isEmpty())
        writeFile(savedSettingsPath(), old);
    else
        QVERIFY(QFile::link(QFile::decodeName(node), savedSettingsPath()));

    ConsoleChild console;
    console.changes = QStringList{"baud=57600"};
    if (writingFails)
        console.setup = forbidWritingFiles;
    const ConsoleRun run = console.run();
    QVERIFY2(run.succeeded(), qPrintable(run.errorOutput));
    if (!linkedTo.isEmpty()) {
        struct stat status
        {
        };
        QCOMPARE(::stat(node.constData(), &status), 0);
        QCOMPARE(status.st_mode & S_IFMT, mode_t(linkedTo == QLatin1String("fifo") ? S_IFIFO : S_IFCHR));
        QCOMPARE(
            QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{QStringLiteral("node")});
        return;
    }
    QCOMPARE(run.report.value("start.baud"), QStringLiteral("19200"));

    const QByteArray now = readFile(savedSettingsPath());
    if (writingFails)
        QCOMPARE(now, old);
    else
        QCOMPARE(now, settingsText(acceptedFirstLine, run.report.value("end.port").toUtf8(), "57600", "0", "English"));
    // No half-written temporary file is left behind either.
    QCOMPARE(filesNamedLikeSettings(QCoreApplication::applicationDirPath()),
             QStringList{QStringLiteral("Tunaris - Serial Console.cfg")});
}

void ConfigurationTest::savedWhereTheUserCanWrite_data()
{
    QTest::addColumn<bool>("readOnlyFolder");
    QTest::newRow("program in a writable folder") << false;
    QTest::newRow("program in a read-only folder") << true;
}

void ConfigurationTest::savedWhereTheUserCanWrite()
{
    QFETCH(bool, readOnlyFolder);

    // An installed program: its own folder, and a separate user
    // configuration folder.
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString programFolder = root.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(programFolder));
    ConsoleChild console;
    console.program = copyOfThisProgram(programFolder);
    console.setup = dropWritingAnywhere;
    console.environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("config")));
    const QString besideProgram = QDir(programFolder).absoluteFilePath(QStringLiteral("Tunaris - Serial Console.cfg"));
    const QString userFile =
        root.filePath(QStringLiteral("config/%1/%2/%2.cfg")
                          .arg(QCoreApplication::organizationName(), QCoreApplication::applicationName()));

    const QByteArray shipped = validSettings("19200", "0", "English");
    writeFile(besideProgram, shipped);
    const QFile::Permissions writable = QFile::permissions(programFolder);
    if (readOnlyFolder)
        QVERIFY(QFile::setPermissions(programFolder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
                                                         | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
    auto restorePermissions = qScopeGuard([&] { QFile::setPermissions(programFolder, writable); });

    console.changes = QStringList{"baud=57600"};
    const ConsoleRun first = console.run();
    QVERIFY2(first.succeeded(), qPrintable(first.errorOutput));
    if (readOnlyFolder && first.report.value("start.writableExecutableDirectory") == QLatin1String("1"))
        QSKIP("This user writes into read-only folders: there is no read-only folder to test with.");
    // While the user folder holds nothing, the file beside the program counts.
    QCOMPARE(first.report.value("start.baud"), QStringLiteral("19200"));

    const QByteArray saved =
        settingsText(acceptedFirstLine, first.report.value("end.port").toUtf8(), "57600", "0", "English");
    if (readOnlyFolder) {
        QCOMPARE(readFile(besideProgram), shipped);
        QCOMPARE(readFile(userFile), saved);
    } else {
        QCOMPARE(readFile(besideProgram), saved);
        QVERIFY(!QFile::exists(userFile));
    }

    console.changes.clear();
    const ConsoleRun second = console.run();
    QVERIFY2(second.succeeded(), qPrintable(second.errorOutput));
    QCOMPARE(second.report.value("start.baud"), QStringLiteral("57600"));
}

// Settings go beside the program only in a copy of the user's own: never
// into the system's program folders, whoever runs it (these tests run as
// root in CI, which may write there), nor into an installed tree.
void ConfigurationTest::portableFolders_data()
{
    QTest::addColumn<QString>("folder"); // "%1": a fresh folder of this user's
    QTest::addColumn<QString>("owner");  // of that fresh folder, when not this user
    QTest::addColumn<bool>("portable");

    QTest::newRow("a build tree of the user's") << "%1/build"
                                                << "" << true;
    QTest::newRow("/usr/bin") << "/usr/bin"
                              << "" << false;
    QTest::newRow("/usr/local/bin") << "/usr/local/bin"
                                    << "" << false;
    QTest::newRow("/bin, merged into /usr or not") << "/bin"
                                                   << "" << false;
    QTest::newRow("a link into /usr") << "%1/link"
                                      << "" << false;
    QTest::newRow("an installed tree under the user's prefix") << "%1/prefix/bin"
                                                               << "" << false;
    QTest::newRow("another user's copy") << "%1/build"
                                         << "nobody" << false;
    QTest::newRow("a folder that does not exist") << "%1/gone"
                                                  << "" << false;
}

void ConfigurationTest::portableFolders()
{
    QFETCH(QString, folder);
    QFETCH(QString, owner);
    QFETCH(bool, portable);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("build")));
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("prefix/bin")));
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("prefix/share/tunaris-console/translations")));
    QVERIFY(QFile::link(QStringLiteral("/usr/lib"), home.filePath(QStringLiteral("link"))));
    folder = folder.arg(home.path());
    if (!owner.isEmpty() && ::chown(QFile::encodeName(folder).constData(), 65534, 65534) != 0)
        QSKIP("Only root gives a folder to another user.");
    QCOMPARE(isPortableFolder(folder), portable);
}

CONSOLE_TEST_MAIN(ConfigurationTest)
#include "tst_configuration.moc"
