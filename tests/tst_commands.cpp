// The player commands behind their buttons, on a real serial device: a
// pseudo-terminal whose master end the test reads byte for byte.
#include "tests/window/windowonpty.h"
#include "tests/window/windowtesting.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QLibraryInfo>
#include <QProcess>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

#include <memory>

class CommandsTest : public QObject, private WindowOnPty
{
    Q_OBJECT

private slots:
    void init() { startOnPty(); }
    void cleanup();
    void parameterLists_data();
    void parameterLists();
    void sourceNamesAreShownAsTheyAre();
    void buttonSendsItsFrame_data();
    void buttonSendsItsFrame();
    void namesFollowTheLanguage_data();
    void namesFollowTheLanguage();

private:
    QStringList items(const char *list) const;
    void choose(const QString &list, const QString &item);
    void clickMode(const QString &name);
    void installMarkedTranslation();

    std::unique_ptr<QTranslator> translator;
};

void CommandsTest::cleanup()
{
    if (translator)
        QCoreApplication::removeTranslator(translator.get());
    translator.reset();
    stopOnPty();
}

QStringList CommandsTest::items(const char *list) const
{
    const QComboBox *combo = child<QComboBox>(*window, list);
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

// Picks an item the way the operator does: only what the list offers.
void CommandsTest::choose(const QString &list, const QString &item)
{
    auto *combo = child<QComboBox>(*window, list.toLatin1().constData());
    const int index = combo->findText(item);
    QVERIFY2(index >= 0, qPrintable(list + QLatin1String(" has no item ") + item));
    combo->setCurrentIndex(index);
}

// Clicks a radio button or check box on its indicator, where a click always
// lands whatever the width of the button.
void CommandsTest::clickMode(const QString &name)
{
    auto *button = child<QAbstractButton>(*window, name.toLatin1().constData());
    QVERIFY2(button, qPrintable(name));
    QStyleOptionButton option;
    option.initFrom(button);
    const bool radio = qobject_cast<QRadioButton *>(button) != nullptr;
    const bool wasChecked = button->isChecked();
    const QStyle::SubElement indicator = radio ? QStyle::SE_RadioButtonIndicator : QStyle::SE_CheckBoxIndicator;
    QTest::mouseClick(button, Qt::LeftButton, {}, button->style()->subElementRect(indicator, &option, button).center());
    // A radio button stays checked when clicked again; a check box toggles.
    QVERIFY2(button->isChecked() == (radio || !wasChecked), qPrintable(name));
}

void CommandsTest::parameterLists_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<int>("last");

    QTest::newRow("folders") << "comboBox_Folder" << 999;
    QTest::newRow("playlists") << "comboBox_Playlist" << 999;
    QTest::newRow("spots") << "comboBox_Spot" << 999;
    QTest::newRow("spot counts") << "comboBox_Spot_Option" << 255;
    QTest::newRow("web radio stations") << "comboBox_WebRadio" << 10;
    QTest::newRow("FTP clients") << "comboBox_FTP" << 10;
}

void CommandsTest::parameterLists()
{
    QFETCH(QString, list);
    QFETCH(int, last);
    const QStringList texts = items(list.toLatin1().constData());
    QCOMPARE(texts.size(), last);
    // Plain decimal numbers, no leading zeros, no gaps.
    for (int i = 0; i < texts.size(); ++i)
        QCOMPARE(texts.at(i), QString::number(i + 1));
    const QComboBox *combo = child<QComboBox>(*window, list.toLatin1().constData());
    QCOMPARE(combo->currentIndex(), 0);
    QVERIFY(!combo->isEditable());
}

void CommandsTest::sourceNamesAreShownAsTheyAre()
{
    const QStringList expected = {"Main Media", "SD Card", "External USB", "Internal USB", "HDD", "Web Radio", "AUX"};
    QCOMPARE(items("comboBox_Source"), expected);
    QCOMPARE(child<QComboBox>(*window, "comboBox_Source")->currentIndex(), 0);

    // The device's names for its sources are not the interface's to
    // translate: not on a change of language, not at a start in another one.
    installMarkedTranslation();
    window->findChild<QAction *>(QStringLiteral("actionFran_ais"))->trigger();
    QCOMPARE(items("comboBox_Source"), expected);
    window.reset();
    startWindow();
    QCOMPARE(checkedLanguageEntries(*window), QStringLiteral("actionFran_ais"));
    QCOMPARE(items("comboBox_Source"), expected);
}

void CommandsTest::buttonSendsItsFrame_data()
{
    QTest::addColumn<QString>("button");
    // Items to pick before the click, as "list=item" pairs.
    QTest::addColumn<QStringList>("picks");
    // Radio buttons and check boxes to click before the click, in order.
    QTest::addColumn<QStringList>("modes");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("echo");

    const auto row = [](const char *name, const char *button, QStringList picks, QStringList modes, const char *hex,
                        const char *echo) {
        QTest::newRow(name) << QString::fromLatin1(button) << picks << modes << QByteArray::fromHex(hex)
                            << QString::fromUtf8(echo);
    };

    // Each button untouched since the start, and its echo in another
    // language, is namesFollowTheLanguage's.
    // Folder and playlist: SEQ adds 2, Reset adds 1, the number is big-endian.
    row("folder 300 SEQ reset", "pushButton_Folder_Load", {"comboBox_Folder=300"},
        {"radioButton_Folder_SEQ", "checkBox_Folder_Reset"}, "03012cff", "Load folder : 0x3 0x1 0x2c 0xff");
    row("folder 999 back to RND", "pushButton_Folder_Load", {"comboBox_Folder=999"},
        {"radioButton_Folder_SEQ", "radioButton_Folder_RND"}, "0003e7ff", "Load folder : 0x0 0x3 0xe7 0xff");
    row("folder RND reset", "pushButton_Folder_Load", {"comboBox_Folder=7"}, {"checkBox_Folder_Reset"}, "010007ff",
        "Load folder : 0x1 0x0 0x7 0xff");
    row("folder reset taken back", "pushButton_Folder_Load", {},
        {"radioButton_Folder_SEQ", "checkBox_Folder_Reset", "checkBox_Folder_Reset"}, "020001ff",
        "Load folder : 0x2 0x0 0x1 0xff");
    row("playlist 300 SEQ reset", "pushButton_Playlist_Load", {"comboBox_Playlist=300"},
        {"radioButton_Playlist_SEQ", "checkBox_Playlist_Reset"}, "0b012cff", "Load playlist : 0xb 0x1 0x2c 0xff");
    row("playlist 255 SEQ", "pushButton_Playlist_Load", {"comboBox_Playlist=255"}, {"radioButton_Playlist_SEQ"},
        "0a00ffff", "Load playlist : 0xa 0x0 0xff 0xff");
    row("playlist 512 reset", "pushButton_Playlist_Load", {"comboBox_Playlist=512"}, {"checkBox_Playlist_Reset"},
        "090200ff", "Load playlist : 0x9 0x2 0x0 0xff");
    // The folder's modes are not the playlist's.
    row("playlist ignores folder modes", "pushButton_Playlist_Load", {"comboBox_Folder=300"},
        {"radioButton_Folder_SEQ", "checkBox_Folder_Reset"}, "080001ff", "Load playlist : 0x8 0x0 0x1 0xff");

    // Spot: SEQ adds 1, X IN RND 2, X IN SEQ 4; X rides in byte 3 of the X modes only.
    row("spot 5 X IN SEQ 3", "pushButton_Spot_Load", {"comboBox_Spot=5", "comboBox_Spot_Option=3"},
        {"radioButton_Spot_X_IN_SEQ"}, "14000503", "Load Spot : 0x14 0x0 0x5 0x3");
    row("spot 999 X IN RND 7", "pushButton_Spot_Load", {"comboBox_Spot=999", "comboBox_Spot_Option=7"},
        {"radioButton_Spot_X_IN_RND"}, "1203e707", "Load Spot : 0x12 0x3 0xe7 0x7");
    row("spot SEQ ignores X", "pushButton_Spot_Load", {"comboBox_Spot=300", "comboBox_Spot_Option=3"},
        {"radioButton_Spot_SEQ"}, "11012cff", "Load Spot : 0x11 0x1 0x2c 0xff");
    row("spot RND ignores X", "pushButton_Spot_Load", {"comboBox_Spot_Option=3"},
        {"radioButton_Spot_X_IN_SEQ", "radioButton_Spot_RND"}, "100001ff", "Load Spot : 0x10 0x0 0x1 0xff");

    row("web radio 10", "pushButton_WebRadio_Load", {"comboBox_WebRadio=10"}, {}, "40000aff",
        "Load WebRadio : 0x40 0x0 0xa 0xff");
    row("FTP 10", "pushButton_FTP_Load", {"comboBox_FTP=10"}, {}, "41000aff", "Launch FTP : 0x41 0x0 0xa 0xff");

    // The index selects the opcode, past the ones never sent; every index's
    // opcode is tst_commandframe's.
    row("source AUX", "pushButton_Source_Load", {"comboBox_Source=AUX"}, {}, "5b0001ff", "Source : 0x5b 0x0 0x1 0xff");
}

void CommandsTest::buttonSendsItsFrame()
{
    QFETCH(QString, button);
    QFETCH(QStringList, picks);
    QFETCH(QStringList, modes);
    QFETCH(QByteArray, frame);
    QFETCH(QString, echo);

    open();
    for (const QString &pick : picks)
        choose(pick.section(QLatin1Char('='), 0, 0), pick.section(QLatin1Char('='), 1));
    for (const QString &mode : modes)
        clickMode(mode);
    // Choosing a number or a mode sends nothing by itself.
    expectSent(QByteArray());
    QCOMPARE(status(), QStringLiteral("Open"));

    clickButton(*window, button.toLatin1().constData());
    expectSent(frame);
    QCOMPARE(status(), echo);

    // The widgets are read at each click: a second click sends the same.
    clickButton(*window, button.toLatin1().constData());
    expectSent(frame);
}

// Builds a real translation file with lrelease that marks every text of the
// "MainWindow" context, and installs it.
void CommandsTest::installMarkedTranslation()
{
    static const char *const names[] = {
        "Play",      "Pause",         "Stop",         "Next",   "Previous",        "Load folder",     "Load playlist",
        "Load Spot", "Load WebRadio", "Launch FTP",   "Source", "Absolute Volume", "Relative Volume", "Mute Volume",
        "Mute",      "Main Media",    "External USB", "AUX"};
    QString ts = QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE TS>\n"
                                "<TS version=\"2.1\" language=\"fr\"><context><name>MainWindow</name>\n");
    for (const char *name : names)
        ts += QStringLiteral("<message><source>%1</source><translation>[%1]</translation></message>\n")
                  .arg(QLatin1String(name));
    ts += QLatin1String("</context></TS>\n");

    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    QFile source(directory.filePath(QStringLiteral("marked.ts")));
    QVERIFY(source.open(QIODevice::WriteOnly));
    source.write(ts.toUtf8());
    source.close();

    const QString lrelease = QLibraryInfo::path(QLibraryInfo::BinariesPath) + QLatin1String("/lrelease");
    const QString compiled = directory.filePath(QStringLiteral("marked.qm"));
    QProcess process;
    process.start(lrelease, {QStringLiteral("-silent"), source.fileName(), QStringLiteral("-qm"), compiled});
    QVERIFY2(process.waitForFinished(60000), qPrintable(lrelease + QLatin1Char(' ') + process.errorString()));
    QCOMPARE(process.exitCode(), 0);

    translator = std::make_unique<QTranslator>();
    QVERIFY(translator->load(compiled));
    QVERIFY(QCoreApplication::installTranslator(translator.get()));
}

void CommandsTest::namesFollowTheLanguage_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("french");
    // The frames of three clicks in a row: the mute box toggles.
    QTest::addColumn<QByteArrayList>("frames");

    const auto row = [](const char *control, const char *english, const char *french, const char *hex,
                        const char *secondHex = nullptr) {
        const QByteArray frame = QByteArray::fromHex(hex);
        const QByteArray second = secondHex ? QByteArray::fromHex(secondHex) : frame;
        QTest::newRow(english) << QString::fromLatin1(control) << QString::fromUtf8(english)
                               << QString::fromUtf8(french) << QByteArrayList{frame, second, frame};
    };
    row("pushButton_Play", "Play", "Lecture", "20ffffff");
    row("pushButton_Pause", "Pause", "Pause", "21ffffff");
    row("pushButton_Stop", "Stop", "Arrêt", "22ffffff");
    row("pushButton_Next", "Next", "Suivant", "23ffffff");
    row("pushButton_Previous", "Previous", "Précédent", "24ffffff");
    row("pushButton_Folder_Load", "Load folder", "Charger le dossier", "000001ff");
    row("pushButton_Playlist_Load", "Load playlist", "Charger la liste de lecture", "080001ff");
    row("pushButton_Spot_Load", "Load Spot", "Charger le spot", "100001ff");
    row("pushButton_WebRadio_Load", "Load WebRadio", "Charger la radio Web", "400001ff");
    row("pushButton_FTP_Load", "Launch FTP", "Lancer le client FTP", "410001ff");
    row("pushButton_Source_Load", "Source", "Source", "500001ff");
    row("pushButton_All_Max", "Absolute Volume", "Volume absolu", "30004000");
    row("pushButton_RCA_Less", "Relative Volume", "Volume relatif", "31001f01");
    row("checkBox_XLR", "Mute Volume", "Sourdine du volume", "33000102", "33000002");
}

void CommandsTest::namesFollowTheLanguage()
{
    QFETCH(QString, control);
    QFETCH(QString, english);
    QFETCH(QString, french);
    QFETCH(QByteArrayList, frames);

    // The name is looked up in the language in force when the command is
    // sent; the bytes never follow the language.
    const auto sendAndExpect = [&](const QString &name, const QByteArray &frame) {
        if (control.startsWith(QLatin1String("checkBox")))
            clickMode(control);
        else
            clickButton(*window, control.toLatin1().constData());
        const CommandFrame sent = {quint8(frame[0]), quint8(frame[1]), quint8(frame[2]), quint8(frame[3])};
        QCOMPARE(status(), commandEcho(name, sent));
        expectSent(frame);
    };

    open();
    sendAndExpect(english, frames.at(0));
    // The shipped French translation, chosen from the menu.
    window->findChild<QAction *>(QStringLiteral("actionFran_ais"))->trigger();
    sendAndExpect(french, frames.at(1));
    // A translation that marks every text shows that also the names whose
    // French reads as the English one are looked up, by their exact text.
    installMarkedTranslation();
    sendAndExpect(QLatin1Char('[') + english + QLatin1Char(']'), frames.at(2));
}

QTEST_MAIN(CommandsTest)
#include "tst_commands.moc"
