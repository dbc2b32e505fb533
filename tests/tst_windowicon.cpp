// The window icons of the main window and the About dialog: read from
// "../images/ico256x256Win.ico" beside the working directory when it is
// there, the compiled-in copy otherwise.
#include "about/aboutwindows.h"
#include "tests/window/windowtesting.h"

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

using Sizes = QList<QSize>;

class WindowIconTest : public QObject, private WindowTest
{
    Q_OBJECT

private slots:
    void init() { startWindowTest(WithoutWindow); }
    void cleanup() { stopWindowTest(); }
    void iconWhereverTheProgramStarts_data();
    void iconWhereverTheProgramStarts();
};

void WindowIconTest::iconWhereverTheProgramStarts_data()
{
    QTest::addColumn<QString>("iconFile"); // what lies at ../images/ico256x256Win.ico
    QTest::addColumn<Sizes>("sizes");

    const Sizes compiledIn = {QSize(16, 16), QSize(32, 32), QSize(48, 48), QSize(256, 256)};
    QTest::newRow("icon file beside the working directory") << "24 pixel icon" << Sizes{QSize(24, 24)};
    QTest::newRow("no icon file") << "" << compiledIn;
    QTest::newRow("icon file that is no image") << "garbage" << compiledIn;
    QTest::newRow("empty icon file") << "empty" << compiledIn;
}

void WindowIconTest::iconWhereverTheProgramStarts()
{
    QFETCH(QString, iconFile);
    QFETCH(Sizes, sizes);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("images")));
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("run")));
    const QString iconPath = root.filePath(QStringLiteral("images/ico256x256Win.ico"));
    if (iconFile == QLatin1String("24 pixel icon")) {
        QImage image(24, 24, QImage::Format_ARGB32);
        image.fill(Qt::red);
        QVERIFY(image.save(iconPath, "ICO"));
    } else if (!iconFile.isEmpty()) {
        QFile file(iconPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (iconFile == QLatin1String("garbage"))
            file.write(QByteArray(4000, '\x5a'));
    }
    QVERIFY(QDir::setCurrent(root.filePath(QStringLiteral("run"))));

    startWindow();
    // The compiled-in copy's large size comes once the event loop runs.
    QTRY_COMPARE(window->windowIcon().availableSizes(), sizes);
    const AboutWindows about;
    QCOMPARE(about.windowIcon().availableSizes(), sizes);
}

QTEST_MAIN(WindowIconTest)
#include "tst_windowicon.moc"
