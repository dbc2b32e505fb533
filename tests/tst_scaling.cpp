// The window on a screen scaled to 200 %: each button and menu image comes
// with a double-size drawing, which the toolkit picks by itself instead of
// blurring the small one up.
#include "app/mainwindow.h"
#include "base/identity.h"
#include "tests/window/windowtesting.h"

#include <QAbstractButton>
#include <QAction>
#include <QTest>

class ScalingTest : public QObject
{
    Q_OBJECT

private slots:
    void everyImageHasADoubleSizeDrawing()
    {
        setApplicationIdentity();
        removeSavedSettings();
        const MainWindow window;
        QList<QPair<QString, QIcon>> icons;
        for (const QAbstractButton *button : window.centralWidget()->findChildren<QAbstractButton *>())
            icons.append({button->objectName(), button->icon()});
        for (const QAction *action : window.findChildren<QAction *>())
            icons.append({action->objectName(), action->icon()});
        int images = 0;
        for (const auto &[name, icon] : icons) {
            const QList<QSize> sizes = icon.availableSizes();
            QVERIFY2(icon.isNull() || (sizes.size() == 2 && sizes.last() == 2 * sizes.first()), qPrintable(name));
            images += !icon.isNull();
        }
        QVERIFY(images >= 29);
    }
};

int main(int argc, char *argv[])
{
    // Read as the application starts, as on a desk set to 200 %.
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication application(argc, argv);
    ScalingTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_scaling.moc"
