// What a screen reader hears: the window walked through the toolkit's
// accessibility interfaces, as assistive tools walk it, in English and in the
// shipped French.
#include "identity.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QAccessible>
#include <QAction>
#include <QGroupBox>
#include <QTest>

#include <memory>

namespace {

struct Control
{
    QString group;    // title of the group box around it
    QString name;     // what an assistive tool reads
    const QWidget *widget;
    QAccessible::Role role;
};

// Every control the keyboard reaches. A control is not entered: the list of
// a combo box and the editor of a spin box are parts of one control.
void collectControls(QAccessibleInterface *parent, const QString &group, QList<Control> &controls)
{
    for (int i = 0; i < parent->childCount(); ++i) {
        QAccessibleInterface *child = parent->child(i);
        const auto *widget = qobject_cast<const QWidget *>(child->object());
        if (child->state().focusable) {
            controls.append({group, child->text(QAccessible::Name), widget, child->role()});
        } else {
            const auto *box = qobject_cast<const QGroupBox *>(widget);
            collectControls(child, box ? box->title() : group, controls);
        }
    }
}

} // namespace

class AccessibilityTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void everyControlIsNamedByItself_data();
    void everyControlIsNamedByItself();
    void namesFollowTheLanguage_data();
    void namesFollowTheLanguage();

private:
    void choose(const char *entry) { child<QAction>(*window, entry)->trigger(); }

    std::unique_ptr<MainWindow> window;
};

void AccessibilityTest::initTestCase()
{
    setApplicationIdentity();
    // No port found: the port list shows no item to be named after.
    listPorts({});
}

void AccessibilityTest::init()
{
    removeSavedSettings();
    window = std::make_unique<MainWindow>();
}

void AccessibilityTest::cleanup()
{
    window.reset();
    removeSavedSettings();
}

void AccessibilityTest::everyControlIsNamedByItself_data()
{
    QTest::addColumn<QStringList>("entries");   // Languages menu entries triggered in turn

    QTest::newRow("English") << QStringList{"actionEnglish"};
    QTest::newRow("French") << QStringList{"actionFran_ais"};
    QTest::newRow("French, then English") << QStringList{"actionFran_ais", "actionEnglish"};
}

void AccessibilityTest::everyControlIsNamedByItself()
{
    QFETCH(QStringList, entries);
    for (const QString &entry : entries)
        choose(qPrintable(entry));

    QList<Control> controls;
    collectControls(QAccessible::queryAccessibleInterface(window.get()), QString(), controls);
    QVERIFY(controls.size() > 40);
    QMultiMap<QString, QString> buttonsByGroup;
    for (const Control &control : controls) {
        const QString what = control.widget->objectName() + QLatin1String(": ") + control.name;
        QVERIFY2(!control.name.isEmpty() && control.name != control.group, qPrintable(what));
        if (control.role == QAccessible::Button) {
            QVERIFY2(control.name.contains(control.widget->toolTip()), qPrintable(what));
            QVERIFY2(!buttonsByGroup.contains(control.group, control.name), qPrintable(what + QLatin1String(" twice")));
            buttonsByGroup.insert(control.group, control.name);
        }
    }
}

void AccessibilityTest::namesFollowTheLanguage_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("french");

    QTest::newRow("transport") << "pushButton_Previous" << "Previous File" << "Fichier précédent";
    QTest::newRow("volume button") << "pushButton_XLR_Plus" << "XLR More" << "Plus (XLR)";
    QTest::newRow("mute") << "checkBox_All" << "ALL Mute" << "Sourdine (TOUT)";
    QTest::newRow("slider") << "horizontalSlider_All" << "ALL volume" << "Volume TOUT";
    QTest::newRow("step") << "spinBox_RCA" << "RCA volume step" << "Pas du volume RCA";
    QTest::newRow("list") << "comboBox_Spot_Option" << "Spot X value" << "Valeur X du spot";
}

// The names are the widgets' own, which assistive tools read on every
// system; on Linux a combo box with an item is read by its item instead.
void AccessibilityTest::namesFollowTheLanguage()
{
    QFETCH(QString, control);
    QFETCH(QString, english);
    QFETCH(QString, french);

    const QWidget *widget = child<QWidget>(*window, qPrintable(control));
    QVERIFY(widget);
    choose("actionFran_ais");
    QCOMPARE(widget->accessibleName(), french);
    choose("actionEnglish");
    QCOMPARE(widget->accessibleName(), english);
}

QTEST_MAIN(AccessibilityTest)
#include "tst_accessibility.moc"
