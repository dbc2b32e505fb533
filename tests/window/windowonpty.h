#pragma once

#include "app/mainwindow.h"
#include "tests/support/ptypair.h"

#include <QString>

#include <memory>

// A console window whose port is a real serial device: a pseudo-terminal
// whose master end the test reads byte for byte. A test class takes it as a
// second base beside QObject, calls startOnPty() from init() and stopOnPty()
// from cleanup(), and each test function starts as on a first run: no saved
// settings, a device nobody has written to, a new window.
class WindowOnPty
{
protected:
    WindowOnPty(); // the program's identity, which names the settings file

    // WithoutWindow: for a test that sets the scene (saved settings, the
    // listed ports) before it starts one with startWindow().
    enum Start { WithWindow, WithoutWindow };
    void startOnPty(Start start = WithWindow);
    void startWindow();
    // The window goes first: its port must be closed before the device is.
    void stopOnPty();

    // Selects the device in the port list and clicks Open.
    void open();
    QString status() const;

    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<MainWindow> window;
};
