// What a screen reader hears: the window walked through the toolkit's
// accessibility interfaces, as assistive tools walk it, in the shipped French
// and back in English.
#include "app/mainwindow.h"
#include "base/identity.h"
#include "tests/window/windowtesting.h"

#include <QAccessible>
#include <QAction>
#include <QGroupBox>
#include <QTest>

namespace {

struct Control
{
    QString group; // title of the group box around it
    QString name;  // what an assistive tool reads
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
    void everyControlIsNamedByItself_data();
    void everyControlIsNamedByItself();
};

void AccessibilityTest::everyControlIsNamedByItself_data()
{
    QTest::addColumn<QString>("language");  // entry chosen after French
    QTest::addColumn<QStringList>("names"); // of the ALL slider, XLR More, RCA step, spot X list

    QTest::newRow("French") << "actionFran_ais"
                            << QStringList{"Volume TOUT", "Plus (XLR)", "Pas du volume RCA", "Valeur X du spot"};
    QTest::newRow("back in English") << "actionEnglish"
                                     << QStringList{"ALL volume", "XLR More", "RCA volume step", "Spot X value"};
}

// On Linux a combo box is read by its current item; an empty one (no port
// found) by its own name.
void AccessibilityTest::everyControlIsNamedByItself()
{
    QFETCH(QString, language);
    QFETCH(QStringList, names);
    setApplicationIdentity();
    removeSavedSettings();
    listPorts({});
    MainWindow window;
    for (const QString &entry : {QStringLiteral("actionFran_ais"), language})
        child<QAction>(window, qPrintable(entry))->trigger();

    QList<Control> controls;
    collectControls(QAccessible::queryAccessibleInterface(&window), QString(), controls);
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
    const QStringList named = {"horizontalSlider_All", "pushButton_XLR_Plus", "spinBox_RCA", "comboBox_Spot_Option"};
    for (int i = 0; i < named.size(); ++i)
        QCOMPARE(child<QWidget>(window, qPrintable(named[i]))->accessibleName(), names[i]);
}

QTEST_MAIN(AccessibilityTest)
#include "tst_accessibility.moc"
