// Language switching with the real translation files: the shipped French
// one, built by lrelease beside the test program, and a marker translation
// that the tests put where the console may look for one.
#include "about/aboutwindows.h"
#include "base/version.h"
#include "tests/support/ptypair.h"
#include "tests/window/consolechild.h"
#include "tests/window/windowtesting.h"

#include <QAbstractButton>
#include <QAction>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

const QString english = QStringLiteral("Serial Port");
const QString french = QStringLiteral("Port série");
const QString marker = QStringLiteral("MARKER");

QString besideTests(const char *fileName)
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QLatin1String(fileName));
}

// Puts a copy of a built translation into the folder under the given name.
void place(const char *builtFile, const QString &folder, const QString &name)
{
    if (name.isEmpty())
        return;
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::copy(besideTests(builtFile), QDir(folder).absoluteFilePath(name)));
}

// Every text the form sets: titles, tooltips, button, label, menu and entry
// texts, keyed by object and kind.
QMap<QString, QString> formTexts(const QWidget &window)
{
    QMap<QString, QString> texts = {{QStringLiteral("window title"), window.windowTitle()}};
    for (const QObject *object : window.findChildren<QObject *>()) {
        const QString name = object->objectName();
        if (const auto *widget = qobject_cast<const QWidget *>(object))
            texts.insert(name + QLatin1String(" tooltip"), widget->toolTip());
        if (const auto *group = qobject_cast<const QGroupBox *>(object))
            texts.insert(name + QLatin1String(" title"), group->title());
        if (const auto *button = qobject_cast<const QAbstractButton *>(object))
            texts.insert(name + QLatin1String(" text"), button->text());
        if (const auto *label = qobject_cast<const QLabel *>(object))
            texts.insert(name + QLatin1String(" text"), label->text());
        if (const auto *menu = qobject_cast<const QMenu *>(object))
            texts.insert(name + QLatin1String(" title"), menu->title());
        if (const auto *action = qobject_cast<const QAction *>(object))
            texts.insert(name + QLatin1String(" text"), action->text());
    }
    return texts;
}

QString inMainWindow(const char *source)
{
    return QCoreApplication::translate("MainWindow", source);
}

} // namespace

class LanguageTest : public QObject, private WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { startWindowTest(); }
    // A saved French would start the next test in French.
    void cleanup() { stopWindowTest(); }
    void textsFollowTheLanguage_data();
    void textsFollowTheLanguage();
    void everyFormTextIsTranslated();
    void closeHasTwoMeanings();
    void switchingDropsTheTranslation_data();
    void switchingDropsTheTranslation();
    void lookupFromTheWorkingDirectory_data();
    void lookupFromTheWorkingDirectory();
    void lookupInAnInstalledTree_data();
    void lookupInAnInstalledTree();
    void defaultFollowsTheSystemLanguage_data();
    void defaultFollowsTheSystemLanguage();

private:
    void choose(const QString &entry) { child<QAction>(*window, qPrintable(entry))->trigger(); }
    QString serialTitle() const { return child<QGroupBox>(*window, "groupBox_Serial")->title(); }
};

void LanguageTest::initTestCase()
{
    QVERIFY2(QFile::exists(besideTests("LanguageData_fr.qm")), "the build puts the shipped translation here");
}

// clang-format off
void LanguageTest::textsFollowTheLanguage_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QString>("englishText");
    QTest::addColumn<QString>("frenchText");

    QTest::newRow("window title") << "MainWindow" << "windowTitle" << "Tunaris - Serial Console"
                                  << "Tunaris - Serial Console";
    QTest::newRow("group title") << "groupBox_Serial" << "title" << "Serial Port" << "Port série";
    QTest::newRow("status group") << "groupBox_Status" << "title" << "Status / Command Message"
                                  << "État / Message de commande";
    QTest::newRow("tooltip") << "pushButton_Open" << "toolTip" << "Connect" << "Connecter";
    QTest::newRow("transport tooltip") << "pushButton_Previous" << "toolTip" << "Previous File"
                                       << "Fichier précédent";
    QTest::newRow("check box") << "checkBox_AutoConnect" << "text" << "Auto-connection" << "Connexion automatique";
    QTest::newRow("label") << "label_Serial_Baudrate" << "text" << "BaudRate" << "Débit";
    QTest::newRow("mode") << "radioButton_Spot_X_IN_RND" << "text" << "X IN RND" << "X EN ALÉA";
    QTest::newRow("volume channel") << "label_Volume_Title_All" << "text" << "ALL" << "TOUT";
    QTest::newRow("menu") << "menuLanguage" << "title" << "&Languages" << "&Langues";
    QTest::newRow("menu entry") << "actionDefault" << "text" << "(Default)" << "(Par défaut)";
    QTest::newRow("help entry") << "actionContact_Technical_Support" << "text" << "&Contact Technical Support"
                                << "&Contacter le support technique";
    QTest::newRow("status label") << "label_Status" << "text" << "..." << "...";
}
// clang-format on

void LanguageTest::textsFollowTheLanguage()
{
    QFETCH(QString, object);
    QFETCH(QString, property);
    QFETCH(QString, englishText);
    QFETCH(QString, frenchText);

    QObject *target = object == QLatin1String("MainWindow") ? window.get() : window->findChild<QObject *>(object);
    QVERIFY(target);
    // A title set in between does not survive a change of language.
    window->setWindowTitle(QStringLiteral("Tunaris - Serial Console " TUNARIS_VERSION));

    choose(QStringLiteral("actionFran_ais"));
    QCOMPARE(target->property(qPrintable(property)).toString(), frenchText);
    choose(QStringLiteral("actionEnglish"));
    QCOMPARE(target->property(qPrintable(property)).toString(), englishText);
}

// A text added to the form without a French translation shows up here.
void LanguageTest::everyFormTextIsTranslated()
{
    choose(QStringLiteral("actionEnglish"));
    const QMap<QString, QString> englishTexts = formTexts(*window);
    choose(QStringLiteral("actionFran_ais"));
    const QMap<QString, QString> frenchTexts = formTexts(*window);

    // Names, units and words that French writes the same way.
    const QStringList sameInFrench = {"Tunaris - Serial Console",
                                      "Source",
                                      "Volume",
                                      "XLR",
                                      "RCA",
                                      "Min",
                                      "Max",
                                      "Transport",
                                      "Pause",
                                      "Port",
                                      "Spot",
                                      "...",
                                      "English",
                                      "Français"};
    // The volume levels show numbers, not words.
    const QRegularExpression level(QStringLiteral("^-?\\d+ dB$"));
    QCOMPARE(frenchTexts.keys(), englishTexts.keys());
    int translated = 0;
    for (auto it = englishTexts.cbegin(); it != englishTexts.cend(); ++it) {
        if (it.value().isEmpty() || level.match(it.value()).hasMatch())
            continue;
        const QString french = frenchTexts.value(it.key());
        if (sameInFrench.contains(it.value()))
            QCOMPARE(french, it.value());
        else
            QVERIFY2(french != it.value(), qPrintable(it.key() + QLatin1String(": ") + french));
        ++translated;
    }
    QVERIFY(translated > 50);
}

// "Close" is the status of a closed port in the window and the button of
// the About dialog: two texts in French.
void LanguageTest::closeHasTwoMeanings()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    choose(QStringLiteral("actionFran_ais"));
    selectPort(*window, pty.slavePath());
    clickButton(*window, "pushButton_Open");
    QCOMPARE(status(), QStringLiteral("Ouvert"));
    clickButton(*window, "pushButton_Close");
    QCOMPARE(status(), QStringLiteral("Fermé"));

    AboutWindows about;
    about.updateInformation();
    QCOMPARE(about.windowTitle(), QStringLiteral("À propos"));
    QCOMPARE(about.findChild<QAbstractButton *>(QStringLiteral("pushButton_close"))->text(), QStringLiteral("Fermer"));
}

void LanguageTest::switchingDropsTheTranslation_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("title");

    QTest::newRow("Français") << "actionFran_ais" << french;
    QTest::newRow("English") << "actionEnglish" << english;
    // The tests run under a fixed system language; by hand, on a French
    // system, "(Default)" rightly keeps French.
    QTest::newRow("(Default)") << "actionDefault"
                               << (QLocale::system().language() == QLocale::French ? french : english);
}

void LanguageTest::switchingDropsTheTranslation()
{
    QFETCH(QString, entry);
    QFETCH(QString, title);

    choose(QStringLiteral("actionFran_ais"));
    QCOMPARE(serialTitle(), french);
    QCOMPARE(inMainWindow("Open"), QStringLiteral("Ouvert"));

    choose(entry);
    QCOMPARE(checkedLanguageEntries(*window), entry);
    // The toolkit unchecks a checked entry when it is triggered again.
    choose(entry);
    QCOMPARE(checkedLanguageEntries(*window), entry);
    QCOMPARE(serialTitle(), title);
    QCOMPARE(inMainWindow("Open"), title == english ? QStringLiteral("Open") : QStringLiteral("Ouvert"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Tunaris - Serial Console"));
}

// clang-format off
void LanguageTest::lookupFromTheWorkingDirectory_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("fileInWorkingDirectory");
    QTest::addColumn<QString>("title");

    // Nothing in the working directory: the translation beside the program.
    QTest::newRow("French, nothing here") << "actionFran_ais" << "" << french;
    QTest::newRow("French, own .qm here") << "actionFran_ais" << "LanguageData_fr.qm" << marker;
    QTest::newRow("French, file without suffix here") << "actionFran_ais" << "LanguageData_fr" << marker;
    QTest::newRow("French, common file here") << "actionFran_ais" << "LanguageData.qm" << marker;
    QTest::newRow("French, another language here") << "actionFran_ais" << "LanguageData_de.qm" << french;
    QTest::newRow("English, nothing here") << "actionEnglish" << "" << english;
    QTest::newRow("English, own .qm here") << "actionEnglish" << "LanguageData_en.qm" << marker;
    QTest::newRow("English, common file here") << "actionEnglish" << "LanguageData.qm" << marker;
    QTest::newRow("English, French here") << "actionEnglish" << "LanguageData_fr.qm" << english;
}
// clang-format on

void LanguageTest::lookupFromTheWorkingDirectory()
{
    QFETCH(QString, entry);
    QFETCH(QString, fileInWorkingDirectory);
    QFETCH(QString, title);

    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    place("marker.qm", elsewhere.path(), fileInWorkingDirectory);
    QVERIFY(QDir::setCurrent(elsewhere.path()));

    choose(entry);
    QCOMPARE(serialTitle(), title);
    QCOMPARE(checkedLanguageEntries(*window), entry);
}

// clang-format off
void LanguageTest::lookupInAnInstalledTree_data()
{
    QTest::addColumn<QString>("besideProgram");     // built translation placed there as LanguageData_fr.qm
    QTest::addColumn<QString>("installedFolder");
    QTest::addColumn<QString>("title");

    QTest::newRow("no translation") << "" << "" << english;
    QTest::newRow("installed folder") << "" << "LanguageData_fr.qm" << french;
    QTest::newRow("beside the program") << "LanguageData_fr.qm" << "" << french;
    QTest::newRow("beside the program first") << "marker.qm" << "LanguageData_fr.qm" << marker;
}
// clang-format on

// A copy of the program in an installed tree, started from another folder.
void LanguageTest::lookupInAnInstalledTree()
{
    QFETCH(QString, besideProgram);
    QFETCH(QString, installedFolder);
    QFETCH(QString, title);

    QTemporaryDir tree;
    QVERIFY(tree.isValid());
    const QString bin = tree.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QDir().mkpath(tree.filePath(QStringLiteral("work"))));
    place(qPrintable(besideProgram), bin, besideProgram.isEmpty() ? QString() : QStringLiteral("LanguageData_fr.qm"));
    place(qPrintable(installedFolder), tree.filePath(QStringLiteral("share/tunaris-console/translations")),
          installedFolder);

    ConsoleChild console;
    console.program = copyOfThisProgram(bin);
    console.workingDirectory = tree.filePath(QStringLiteral("work"));
    console.changes = QStringList{"language=actionFran_ais"};
    const ConsoleRun run = console.run();
    QVERIFY2(run.succeeded(), qPrintable(run.errorOutput));
    QCOMPARE(run.report.value("end.serialTitle"), title);
    QCOMPARE(run.report.value("end.language"), QStringLiteral("actionFran_ais"));
}

// clang-format off
void LanguageTest::defaultFollowsTheSystemLanguage_data()
{
    QTest::addColumn<QString>("systemLocale");
    QTest::addColumn<QString>("fileInWorkingDirectory");
    QTest::addColumn<QString>("title");

    QTest::newRow("French system") << "fr_FR.UTF-8" << "" << french;
    QTest::newRow("Canadian French system") << "fr_CA.UTF-8" << "" << french;
    QTest::newRow("German system") << "de_DE.UTF-8" << "" << english;
    QTest::newRow("German system, common file") << "de_DE.UTF-8" << "LanguageData.qm" << marker;
    QTest::newRow("C locale") << "C.UTF-8" << "" << english;
}
// clang-format on

// At start, with no saved choice, the window takes the system's language.
void LanguageTest::defaultFollowsTheSystemLanguage()
{
    QFETCH(QString, systemLocale);
    QFETCH(QString, fileInWorkingDirectory);
    QFETCH(QString, title);

    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    place("marker.qm", elsewhere.path(), fileInWorkingDirectory);

    ConsoleChild console;
    console.workingDirectory = elsewhere.path();
    console.environment.insert(QStringLiteral("LC_ALL"), systemLocale);
    console.environment.remove(QStringLiteral("LANGUAGE"));
    const ConsoleRun run = console.run();
    QVERIFY2(run.succeeded(), qPrintable(run.errorOutput));
    QCOMPARE(run.report.value("start.language"), QStringLiteral("actionDefault"));
    QCOMPARE(run.report.value("start.serialTitle"), title);
}

CONSOLE_TEST_MAIN(LanguageTest)
#include "tst_language.moc"
