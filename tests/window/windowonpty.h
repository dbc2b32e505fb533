#pragma once

#include "tests/support/ptypair.h"
#include "tests/window/windowtesting.h"

#include <QTest>

#include <memory>

// A console window whose port is a real serial device: a pseudo-terminal
// whose master end the test reads byte for byte, new for each test function.
class WindowOnPty : public WindowTest
{
protected:
    void startOnPty(Start start = WithWindow)
    {
        pty = std::make_unique<PtyPair>();
        QVERIFY(pty->isValid());
        startWindowTest(start);
    }
    // The port is closed before its device goes.
    void stopOnPty()
    {
        stopWindowTest();
        pty.reset();
    }

    // Selects the device in the port list and clicks Open.
    void open()
    {
        selectPort(*window, pty->slavePath());
        clickButton(*window, "pushButton_Open");
        QCOMPARE(status(), QStringLiteral("Open"));
    }

    // Exactly these bytes reach the device, and nothing after them.
    void expectSent(const QByteArray &bytes)
    {
        QCOMPARE(pty->read(int(bytes.size())).toHex(' '), bytes.toHex(' '));
        QCOMPARE(pty->readRest().toHex(' '), QByteArray());
    }

    std::unique_ptr<PtyPair> pty;
};
