// The window on a screen scaled to 200 %: each button and menu image comes
// with a double-size drawing, which the toolkit picks by itself instead of
// blurring the small one up.
#include "identity.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QTest>

class ScalingTest : public QObject
{
    Q_OBJECT

private slots:
    void everyImageHasADoubleSizeDrawing();
};

void ScalingTest::everyImageHasADoubleSizeDrawing()
{
    QCOMPARE(qApp->devicePixelRatio(), 2.0);
    setApplicationIdentity();
    removeSavedSettings();
    const MainWindow window;

    QMap<QString, QIcon> icons;
    for (const QAbstractButton *button : window.centralWidget()->findChildren<QAbstractButton *>())
        icons.insert(button->objectName(), button->icon());
    for (const QAction *action : window.findChildren<QAction *>())
        icons.insert(action->objectName(), action->icon());
    int images = 0;
    for (auto it = icons.cbegin(); it != icons.cend(); ++it) {
        if (it->isNull())
            continue;
        const QList<QSize> sizes = it->availableSizes();
        QVERIFY2(sizes.size() == 2 && sizes.last() == 2 * sizes.first(), qPrintable(it.key()));
        ++images;
    }
    QVERIFY(images >= 29);
    removeSavedSettings();
}

int main(int argc, char *argv[])
{
    // Read when the application starts, as on a desk set to 200 %.
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication application(argc, argv);
    ScalingTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_scaling.moc"
