#pragma once

#include "app/mainwindow.h"

#include <QComboBox>
#include <QString>
#include <QWidget>

#include <memory>

// A console window as on a first run. A test class takes it as a second
// base beside QObject and calls startWindowTest() from init() and
// stopWindowTest() from cleanup(): the connection guard below is installed,
// no saved settings are read, and none are left for the next test or test
// program; a test that changes the working directory finds it restored.
class WindowTest
{
protected:
    WindowTest(); // the program's identity, which names the settings file

    // WithoutWindow: for a test that sets the scene (saved settings, the
    // listed ports) before it starts one with startWindow().
    enum Start { WithWindow, WithoutWindow };
    void startWindowTest(Start start = WithWindow);
    // Returns once the window has its first port list, as the operator finds
    // it a moment after the start.
    void startWindow();
    // The window goes first, and with it the port it opened.
    void stopWindowTest();

    QString status() const;

    std::unique_ptr<MainWindow> window;

private:
    QString m_startDirectory;
};

// Fails the running test on a warning from the connection by name: a slot
// whose object name does not match would otherwise be a silent dead button.
void failOnConnectionWarnings();

// Finds a child of the window by object name, or null.
template<typename T> T *child(const QWidget &window, const char *name)
{
    return window.findChild<T *>(QLatin1String(name));
}

// Puts a device path into the window's port list and selects it, as if the
// port query had reported it.
void selectPort(const QWidget &window, const QString &path);
void selectBaudRate(const QWidget &window, const QString &rate);

// The object names of the checked entries of the Languages menu, joined by
// commas: "actionFran_ais" when exactly that one is checked.
QString checkedLanguageEntries(const QWidget &window);

// Clicks the named push button with the mouse, as an operator would.
void clickButton(const QWidget &window, const char *name);

// Removes the settings file a window would read at start, beside the test
// program and in the user's configuration folder, so each test starts as on
// a first run. The user's configuration folder of a test is the toolkit's
// test location: a test run never touches the operator's own settings.
void removeSavedSettings();

// Where a window of this test program keeps its settings: beside the program.
QString savedSettingsPath();

// Waits for the window's first port list, which it asks for once the event
// loop runs; a saved auto-connection has then been made. False after a time
// limit.
bool waitForFirstPortList(const MainWindow &window);

// Makes the next windows list exactly these ports, as if the system had
// reported them; tests use it to keep real ports out of their way.
void listPorts(const QStringList &ports);
// Lets the next windows list the machine's real ports again.
void listSystemPorts();
