#include "tests/window/windowonpty.h"

#include "base/identity.h"
#include "tests/window/windowtesting.h"

#include <QLabel>
#include <QTest>

WindowOnPty::WindowOnPty()
{
    setApplicationIdentity();
}

void WindowOnPty::startOnPty(Start start)
{
    failOnConnectionWarnings();
    removeSavedSettings();
    pty = std::make_unique<PtyPair>();
    QVERIFY(pty->isValid());
    if (start == WithWindow)
        startWindow();
}

void WindowOnPty::startWindow()
{
    window = std::make_unique<MainWindow>();
}

void WindowOnPty::stopOnPty()
{
    window.reset();
    serialPort->close();
    pty.reset();
}

void WindowOnPty::open()
{
    selectPort(*window, pty->slavePath());
    clickButton(*window, "pushButton_Open");
    QCOMPARE(status(), QStringLiteral("Open"));
}

QString WindowOnPty::status() const
{
    return child<QLabel>(*window, "label_Status")->text();
}
