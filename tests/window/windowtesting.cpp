#include "tests/window/windowtesting.h"

#include "app/portquery.h"
#include "app/portwatcher.h"
#include "base/identity.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

void failOnConnectionWarnings()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("connectSlotsByName|No matching signal")));
}

void selectPort(const QWidget &window, const QString &path)
{
    auto *ports = child<QComboBox>(window, "comboBox_Serial_Port");
    int index = ports->findText(path);
    if (index < 0) {
        ports->addItem(path);
        index = ports->count() - 1;
    }
    ports->setCurrentIndex(index);
}

void selectBaudRate(const QWidget &window, const QString &rate)
{
    auto *rates = child<QComboBox>(window, "comboBox_Serial_Baudrate");
    rates->setCurrentIndex(rates->findText(rate));
}

QString checkedLanguageEntries(const QWidget &window)
{
    QStringList checked;
    for (const char *name : {"actionDefault", "actionEnglish", "actionFran_ais"}) {
        if (child<QAction>(window, name)->isChecked())
            checked << QLatin1String(name);
    }
    return checked.join(QLatin1Char(','));
}

void clickButton(const QWidget &window, const char *name)
{
    auto *button = child<QPushButton>(window, name);
    // A misspelt name must stop the test, not crash it somewhere later.
    if (!button)
        qFatal("no push button named %s", name);
    QTest::mouseClick(button, Qt::LeftButton);
}

namespace {

QString settingsFileName()
{
    return QCoreApplication::applicationName() + QLatin1String(".cfg");
}

} // namespace

QString savedSettingsPath()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(settingsFileName());
}

void removeSavedSettings()
{
    QStandardPaths::setTestModeEnabled(true);
    const QDir userDirectory(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
    QFile::remove(userDirectory.absoluteFilePath(settingsFileName()));
    QFile::remove(savedSettingsPath());
}

bool waitForFirstPortList(const MainWindow &window)
{
    // Far beyond the query's few milliseconds, for a loaded machine.
    constexpr int firstListMs = 20000;
    const PortWatcher *watcher = window.findChild<PortWatcher *>();
    return watcher && QTest::qWaitFor([watcher] { return watcher->hasListed(); }, firstListMs);
}

void listPorts(const QStringList &ports)
{
    // No folders to watch: the list stays exactly this one.
    setPortSource({[ports] { return ports; }, {}});
}

void listSystemPorts()
{
    setPortSource({});
}

WindowTest::WindowTest()
    : m_startDirectory(QDir::currentPath())
{
    setApplicationIdentity();
}

void WindowTest::startWindowTest(Start start)
{
    failOnConnectionWarnings();
    removeSavedSettings();
    if (start == WithWindow)
        startWindow();
}

void WindowTest::startWindow()
{
    window = std::make_unique<MainWindow>();
    QVERIFY2(waitForFirstPortList(*window), "the window never got its port list");
}

void WindowTest::stopWindowTest()
{
    window.reset();
    serialPort->close();
    removeSavedSettings();
    QDir::setCurrent(m_startDirectory);
}

QString WindowTest::status() const
{
    return child<QLabel>(*window, "label_Status")->text();
}
