#pragma once

#include <QApplication>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTest>

#include <functional>

// One more run of the console, in a child process: the test program starts
// itself (or a copy of itself placed elsewhere) in child mode. The child
// builds the window as the program does, which loads the settings and applies
// the language, reports the window's state, makes the requested changes and
// closes the window, which saves the settings.
struct ConsoleRun
{
    bool exitedNormally = false;
    int exitCode = -1;
    // "start.<key>" before the changes, "end.<key>" after them; keys: port,
    // baud, autoConnect, language (the checked entry), serialTitle, status,
    // writableExecutableDirectory.
    QMap<QString, QString> report;
    QString errorOutput;

    bool succeeded() const { return exitedNormally && exitCode == 0; }
};

struct ConsoleChild
{
    QString program;          // this test program unless set
    QString workingDirectory; // the test's own unless set
    // "baud=57600", "port=ttyS3", "autoConnect=1",
    // "language=actionFran_ais" (the entry is triggered as from the menu)
    QStringList changes;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Runs in the child before the program starts: limits, capabilities.
    std::function<void()> setup;

    ConsoleRun run() const;
};

// Copies this test program into the directory, for a run whose executable
// lies elsewhere. Returns the copy's path.
QString copyOfThisProgram(const QString &directory);

bool isConsoleChild(int argc, char **argv);
int runConsoleChild(int argc, char **argv);

// QTEST_MAIN, plus the child mode of ConsoleChild.
#define CONSOLE_TEST_MAIN(TestObject)                                                                                  \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        if (isConsoleChild(argc, argv))                                                                                \
            return runConsoleChild(argc, argv);                                                                        \
        QApplication application(argc, argv);                                                                          \
        application.setAttribute(Qt::AA_Use96Dpi, true);                                                               \
        TestObject test;                                                                                               \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
