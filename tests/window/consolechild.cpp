#include "tests/window/consolechild.h"

#include "app/mainwindow.h"
#include "base/identity.h"
#include "tests/window/windowtesting.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QProcess>
#include <QTextStream>

#include <memory>

namespace {

const char childArgument[] = "--console-child";

// Long enough for a slow machine; a child that takes longer has hung.
constexpr int childTimeoutMs = 60000;

void report(QTextStream &out, const MainWindow &window, const QString &when)
{
    const QMap<QString, QString> state = {
        {QStringLiteral("port"), child<QComboBox>(window, "comboBox_Serial_Port")->currentText()},
        {QStringLiteral("baud"), child<QComboBox>(window, "comboBox_Serial_Baudrate")->currentText()},
        {QStringLiteral("autoConnect"), QString::number(child<QCheckBox>(window, "checkBox_AutoConnect")->isChecked())},
        {QStringLiteral("language"), checkedLanguageEntries(window)},
        {QStringLiteral("serialTitle"), child<QGroupBox>(window, "groupBox_Serial")->title()},
        {QStringLiteral("status"), child<QLabel>(window, "label_Status")->text()},
        {QStringLiteral("writableExecutableDirectory"),
         QString::number(QFileInfo(QCoreApplication::applicationDirPath()).isWritable())},
    };
    for (auto it = state.cbegin(); it != state.cend(); ++it)
        out << when << '.' << it.key() << '=' << it.value() << '\n';
}

void applyChange(MainWindow &window, const QString &change)
{
    const QString key = change.section(QLatin1Char('='), 0, 0);
    const QString value = change.section(QLatin1Char('='), 1);
    if (key == QLatin1String("baud"))
        selectBaudRate(window, value);
    else if (key == QLatin1String("port"))
        selectPort(window, value);
    else if (key == QLatin1String("autoConnect"))
        child<QCheckBox>(window, "checkBox_AutoConnect")->setChecked(value == QLatin1String("1"));
    else if (key == QLatin1String("language"))
        child<QAction>(window, qPrintable(value))->trigger();
}

} // namespace

bool isConsoleChild(int argc, char **argv)
{
    return argc > 1 && qstrcmp(argv[1], childArgument) == 0;
}

int runConsoleChild(int argc, char **argv)
{
    setApplicationIdentity();
    QApplication application(argc, argv);
    // A saved auto-connection must not open a real port of the machine.
    listPorts({});
    QTextStream out(stdout);
    auto window = std::make_unique<MainWindow>();
    if (!waitForFirstPortList(*window)) {
        qCritical("the window never got its port list");
        return 1;
    }
    report(out, *window, QStringLiteral("start"));
    for (const QString &change : application.arguments().mid(2))
        applyChange(*window, change);
    report(out, *window, QStringLiteral("end"));
    window.reset();
    return 0;
}

ConsoleRun ConsoleChild::run() const
{
    QProcess process;
    process.setProgram(program.isEmpty() ? QCoreApplication::applicationFilePath() : program);
    process.setArguments(QStringList(QLatin1String(childArgument)) + changes);
    process.setWorkingDirectory(workingDirectory.isEmpty() ? QDir::currentPath() : workingDirectory);
    QProcessEnvironment childEnvironment = environment;
    childEnvironment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(childEnvironment);
    if (setup)
        process.setChildProcessModifier(setup);

    ConsoleRun result;
    process.start();
    if (!process.waitForFinished(childTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitedNormally = process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.errorOutput = QString::fromLocal8Bit(process.readAllStandardError());
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.contains(QLatin1Char('=')))
            result.report.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
    }
    return result;
}

QString copyOfThisProgram(const QString &directory)
{
    const QString source = QCoreApplication::applicationFilePath();
    const QString copy = QDir(directory).absoluteFilePath(QFileInfo(source).fileName());
    QFile::copy(source, copy);
    QFile::setPermissions(copy, QFile::permissions(source));
    return copy;
}
