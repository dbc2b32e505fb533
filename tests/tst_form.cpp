// The main window as the operator first sees it: every object of the form,
// the lists the serial link fills, and the enabled states of a closed link.
#include "tests/window/windowtesting.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSerialPortInfo>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

class FormTest : public QObject, private WindowTest
{
    Q_OBJECT

private slots:
    void init() { startWindowTest(); }
    void cleanup() { stopWindowTest(); }
    void everyObjectExists_data();
    void everyObjectExists();
    void objectCount();
    void initialValues();
    void serialLists();
    void closedLinkStates();
    void menus();
    void exclusiveModes();
    void pushButtonsShowOnlyIcons();
};

struct FormObject
{
    const char *name;
    const char *className;
};

static const FormObject formObjects[] = {
    {"centralWidget", "QWidget"},
    {"gridLayout_11", "QGridLayout"},
    {"horizontalLayout", "QHBoxLayout"},
    {"groupBox_Source", "QGroupBox"},
    {"gridLayout_7", "QGridLayout"},
    {"comboBox_Source", "QComboBox"},
    {"pushButton_Source_Load", "QPushButton"},
    {"groupBox_WebRadio", "QGroupBox"},
    {"gridLayout_8", "QGridLayout"},
    {"comboBox_WebRadio", "QComboBox"},
    {"pushButton_WebRadio_Load", "QPushButton"},
    {"groupBox_FTP", "QGroupBox"},
    {"gridLayout_9", "QGridLayout"},
    {"comboBox_FTP", "QComboBox"},
    {"pushButton_FTP_Load", "QPushButton"},
    {"groupBox_Volume", "QGroupBox"},
    {"gridLayout_12", "QGridLayout"},
    {"gridLayout_10", "QGridLayout"},
    {"label_Volume_Title_XLR", "QLabel"},
    {"label_Volume_Title_RCA", "QLabel"},
    {"pushButton_All_Min", "QPushButton"},
    {"pushButton_XLR_Min", "QPushButton"},
    {"pushButton_RCA_Min", "QPushButton"},
    {"pushButton_All_Max", "QPushButton"},
    {"horizontalSlider_All", "QSlider"},
    {"horizontalSlider_XLR", "QSlider"},
    {"horizontalSlider_RCA", "QSlider"},
    {"pushButton_XLR_Max", "QPushButton"},
    {"pushButton_RCA_Max", "QPushButton"},
    {"checkBox_All", "QCheckBox"},
    {"checkBox_XLR", "QCheckBox"},
    {"checkBox_RCA", "QCheckBox"},
    {"spinBox_All", "QSpinBox"},
    {"spinBox_XLR", "QSpinBox"},
    {"spinBox_RCA", "QSpinBox"},
    {"pushButton_All_Plus", "QPushButton"},
    {"pushButton_XLR_Plus", "QPushButton"},
    {"pushButton_RCA_Plus", "QPushButton"},
    {"pushButton_All_Less", "QPushButton"},
    {"pushButton_XLR_Less", "QPushButton"},
    {"pushButton_RCA_Less", "QPushButton"},
    {"label_Volume_Value_All", "QLabel"},
    {"label_Volume_Value_XLR", "QLabel"},
    {"label_Volume_Value_RCA", "QLabel"},
    {"label_Volume_Title_All", "QLabel"},
    {"horizontalLayout_3", "QHBoxLayout"},
    {"groupBox_Playlist", "QGroupBox"},
    {"gridLayout_5", "QGridLayout"},
    {"comboBox_Playlist", "QComboBox"},
    {"radioButton_Playlist_RND", "QRadioButton"},
    {"radioButton_Playlist_SEQ", "QRadioButton"},
    {"checkBox_Playlist_Reset", "QCheckBox"},
    {"pushButton_Playlist_Load", "QPushButton"},
    {"horizontalLayout_4", "QHBoxLayout"},
    {"groupBox_Transport", "QGroupBox"},
    {"gridLayout_3", "QGridLayout"},
    {"pushButton_Previous", "QPushButton"},
    {"pushButton_Play", "QPushButton"},
    {"pushButton_Stop", "QPushButton"},
    {"pushButton_Pause", "QPushButton"},
    {"pushButton_Next", "QPushButton"},
    {"groupBox_Folder", "QGroupBox"},
    {"gridLayout_2", "QGridLayout"},
    {"comboBox_Folder", "QComboBox"},
    {"radioButton_Folder_RND", "QRadioButton"},
    {"radioButton_Folder_SEQ", "QRadioButton"},
    {"checkBox_Folder_Reset", "QCheckBox"},
    {"pushButton_Folder_Load", "QPushButton"},
    {"horizontalLayout_5", "QHBoxLayout"},
    {"groupBox_Serial", "QGroupBox"},
    {"horizontalLayout_2", "QHBoxLayout"},
    {"pushButton_Open", "QPushButton"},
    {"pushButton_Close", "QPushButton"},
    {"label_Serial_Port", "QLabel"},
    {"comboBox_Serial_Port", "QComboBox"},
    {"label_Serial_Baudrate", "QLabel"},
    {"comboBox_Serial_Baudrate", "QComboBox"},
    {"checkBox_AutoConnect", "QCheckBox"},
    {"verticalLayout", "QVBoxLayout"},
    {"groupBox_Status", "QGroupBox"},
    {"gridLayout_4", "QGridLayout"},
    {"label_Status", "QLabel"},
    {"verticalLayout_2", "QVBoxLayout"},
    {"groupBox_Spot", "QGroupBox"},
    {"gridLayout_6", "QGridLayout"},
    {"pushButton_Spot_Load", "QPushButton"},
    {"radioButton_Spot_RND", "QRadioButton"},
    {"comboBox_Spot", "QComboBox"},
    {"radioButton_Spot_SEQ", "QRadioButton"},
    {"radioButton_Spot_X_IN_RND", "QRadioButton"},
    {"radioButton_Spot_X_IN_SEQ", "QRadioButton"},
    {"comboBox_Spot_Option", "QComboBox"},
    {"statusBar", "QStatusBar"},
    {"menuBar", "QMenuBar"},
    {"menuFile", "QMenu"},
    {"menuHelp", "QMenu"},
    {"menuLanguage", "QMenu"},
    {"actionExit", "QAction"},
    {"actionAbout", "QAction"},
    {"actionVeldo_Home_Page", "QAction"},
    {"actionContact_Technical_Support", "QAction"},
    {"actionFran_ais", "QAction"},
    {"actionEnglish", "QAction"},
    {"actionDefault", "QAction"},
};

void FormTest::everyObjectExists_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    for (const FormObject &object : formObjects)
        QTest::newRow(object.name) << object.name << object.className;
}

void FormTest::everyObjectExists()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    const QList<QObject *> found = window->findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QCOMPARE(found.first()->metaObject()->className(), className.toLatin1());
}

void FormTest::objectCount()
{
    QCOMPARE(int(std::size(formObjects)), 104);
    QMap<QString, int> byClass;
    for (const FormObject &object : formObjects)
        ++byClass[object.className];
    const QMap<QString, int> expected = {
        {"QPushButton", 25}, {"QGridLayout", 11}, {"QGroupBox", 10}, {"QLabel", 9},
        {"QComboBox", 9},    {"QRadioButton", 8}, {"QAction", 7},    {"QCheckBox", 6},
        {"QHBoxLayout", 5},  {"QSpinBox", 3},     {"QSlider", 3},    {"QMenu", 3},
        {"QVBoxLayout", 2},  {"QWidget", 1},      {"QStatusBar", 1}, {"QMenuBar", 1},
    };
    QCOMPARE(byClass, expected);
}

void FormTest::initialValues()
{
    const MainWindow &w = *window;
    QCOMPARE(w.windowTitle(), QStringLiteral("Tunaris - Serial Console"));
    QCOMPARE(w.size(), QSize(489, 575));
    QCOMPARE(child<QLabel>(w, "label_Status")->text(), QStringLiteral("..."));

    for (const char *name : {"radioButton_Folder_RND", "radioButton_Playlist_RND", "radioButton_Spot_RND"})
        QVERIFY2(child<QRadioButton>(w, name)->isChecked(), name);
    for (const char *name : {"radioButton_Folder_SEQ", "radioButton_Playlist_SEQ", "radioButton_Spot_SEQ",
                             "radioButton_Spot_X_IN_RND", "radioButton_Spot_X_IN_SEQ"})
        QVERIFY2(!child<QRadioButton>(w, name)->isChecked(), name);
    for (QCheckBox *box : w.findChildren<QCheckBox *>())
        QVERIFY2(!box->isChecked(), qPrintable(box->objectName()));

    const struct
    {
        const char *name;
        int value;
        int pageStep;
    } sliders[] = {{"horizontalSlider_All", 0, 1}, {"horizontalSlider_XLR", 0, 8}, {"horizontalSlider_RCA", -10, 8}};
    for (const auto &expected : sliders) {
        const QSlider *slider = child<QSlider>(w, expected.name);
        QCOMPARE(slider->value(), expected.value);
        QCOMPARE(slider->minimum(), -64);
        QCOMPARE(slider->maximum(), 0);
        QCOMPARE(slider->pageStep(), expected.pageStep);
        QCOMPARE(slider->singleStep(), 1);
        QCOMPARE(slider->tickPosition(), QSlider::TicksBothSides);
        QCOMPARE(slider->tickInterval(), 4);
        QVERIFY(slider->hasTracking());
    }
    for (QSpinBox *spin : w.findChildren<QSpinBox *>()) {
        QCOMPARE(spin->value(), 1);
        QCOMPARE(spin->minimum(), 1);
        QCOMPARE(spin->maximum(), 32);
    }
}

void FormTest::serialLists()
{
    const QComboBox *rates = child<QComboBox>(*window, "comboBox_Serial_Baudrate");
    QStringList items;
    for (int i = 0; i < rates->count(); ++i)
        items << rates->itemText(i);
    QCOMPARE(items, QStringList({"9600", "14400", "19200", "38400", "57600", "115200"}));
    QCOMPARE(rates->currentText(), QStringLiteral("115200"));
    QVERIFY(!rates->isEditable());

    // The port list is the port query's, in its order and by name only.
    const QComboBox *ports = child<QComboBox>(*window, "comboBox_Serial_Port");
    const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
    QCOMPARE(ports->count(), available.size());
    for (int i = 0; i < available.size(); ++i)
        QCOMPARE(ports->itemText(i), available.at(i).portName());
    QCOMPARE(ports->currentIndex(), available.isEmpty() ? -1 : 0);
}

void FormTest::closedLinkStates()
{
    const MainWindow &w = *window;
    for (const char *name : {"pushButton_Open", "comboBox_Serial_Port", "comboBox_Serial_Baudrate",
                             "checkBox_AutoConnect", "groupBox_Serial", "groupBox_Status"})
        QVERIFY2(child<QWidget>(w, name)->isEnabled(), name);
    for (const char *name :
         {"pushButton_Close", "groupBox_Transport", "groupBox_Folder", "groupBox_Playlist", "groupBox_Spot",
          "groupBox_Source", "groupBox_WebRadio", "groupBox_FTP", "groupBox_Volume"})
        QVERIFY2(!child<QWidget>(w, name)->isEnabled(), name);
    // A disabled group disables every control inside it.
    QVERIFY(!child<QPushButton>(w, "pushButton_Play")->isEnabled());
}

void FormTest::menus()
{
    const QMenuBar *bar = child<QMenuBar>(*window, "menuBar");
    QStringList titles;
    for (const QAction *action : bar->actions())
        titles << action->text();
    QCOMPARE(titles, QStringList({"&File", "&Languages", "&Help"}));

    const auto entries = [this](const char *menu) {
        QStringList texts;
        for (const QAction *action : child<QMenu>(*window, menu)->actions())
            texts << (action->isSeparator() ? QStringLiteral("--") : action->text());
        return texts;
    };
    QCOMPARE(entries("menuFile"), QStringList({"&Exit"}));
    QCOMPARE(entries("menuLanguage"), QStringList({"(Default)", "--", "English", "Français"}));
    QCOMPARE(entries("menuHelp"), QStringList({"&Veldo Home Page", "&Contact Technical Support", "--", "&About"}));

    QCOMPARE(checkedLanguageEntries(*window), QStringLiteral("actionDefault"));
    for (const char *name : {"actionExit", "actionAbout", "actionVeldo_Home_Page", "actionContact_Technical_Support"})
        QVERIFY2(!window->findChild<QAction *>(name)->icon().isNull(), name);
}

void FormTest::exclusiveModes()
{
    auto *spotSeq = child<QRadioButton>(*window, "radioButton_Spot_X_IN_SEQ");
    spotSeq->setChecked(true);
    QVERIFY(!child<QRadioButton>(*window, "radioButton_Spot_RND")->isChecked());
    // The folder and playlist pairs are separate groups.
    QVERIFY(child<QRadioButton>(*window, "radioButton_Folder_RND")->isChecked());
    QVERIFY(child<QRadioButton>(*window, "radioButton_Playlist_RND")->isChecked());
    child<QRadioButton>(*window, "radioButton_Folder_SEQ")->setChecked(true);
    QVERIFY(child<QRadioButton>(*window, "radioButton_Playlist_RND")->isChecked());
    QVERIFY(spotSeq->isChecked());
}

void FormTest::pushButtonsShowOnlyIcons()
{
    const QList<QPushButton *> buttons = window->findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 25);
    for (const QPushButton *button : buttons) {
        const QString name = button->objectName();
        QVERIFY2(button->text().isEmpty(), qPrintable(name));
        QVERIFY2(!button->toolTip().isEmpty(), qPrintable(name));
        QVERIFY2(button->isFlat(), qPrintable(name));
        // Every image is compiled in, so every icon has a picture.
        QVERIFY2(!button->icon().availableSizes().isEmpty(), qPrintable(name));
    }
}

QTEST_MAIN(FormTest)
#include "tst_form.moc"
