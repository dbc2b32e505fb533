#include "base/configurationfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryFile>

#if !defined(Q_OS_WIN)
#include <unistd.h>
#endif

namespace {

const QLatin1String fileIdentifier("QRB1");
const QLatin1String formatVersion("1.00");
const QLatin1String fileSuffix(".cfg");
const QLatin1String titleSuffix(" - Configuration File");
const QLatin1String generatorPrefix("Generate by: ");
const QLatin1String ruleLine("****************************************");

// Line numbers, counted from 1, of the lines the reader looks at.
enum Line { FirstLine = 1, PortLine = 7, BaudRateLine = 11, AutoConnectLine = 15, LanguageLine = 19 };

// Far longer than any value; a longer line is cut rather than held whole.
constexpr qint64 maxLineLength = 4096;

QString lineAt(const QStringList &lines, Line line)
{
    return lines.value(line - 1);
}

bool isNonZeroNumber(const QString &text)
{
    bool isNumber = false;
    const int number = text.toInt(&isNumber, 10);
    return isNumber && number != 0;
}

void skipRestOfLine(QIODevice &device)
{
    for (;;) {
        const QByteArray rest = device.readLine(maxLineLength);
        if (rest.isEmpty() || rest.endsWith('\n'))
            return;
    }
}

// Reads one line without its line end; false at the end of the data. The
// rest of an over-long line is skipped, so the next line keeps its number.
bool readOneLine(QIODevice &device, QByteArray &line)
{
    line = device.readLine(maxLineLength);
    if (line.isEmpty())
        return false;
    if (line.endsWith('\n'))
        line.chop(1);
    else
        skipRestOfLine(device);
    if (line.endsWith('\r'))
        line.chop(1);
    return true;
}

// A value that spanned lines would shift every later line of the file.
QString singleLine(const QString &value)
{
    const qsizetype end = value.indexOf(QRegularExpression(QStringLiteral("[\r\n]")));
    return end < 0 ? value : value.left(end);
}

void appendSection(QStringList &lines, const char *label, const QString &value)
{
    lines << ruleLine << QLatin1String(label) << ruleLine << singleLine(value);
}

} // namespace

std::optional<Configuration> parseConfiguration(const QStringList &lines)
{
    const QString first = lineAt(lines, FirstLine);
    if (!first.contains(fileIdentifier) || !first.contains(formatVersion))
        return std::nullopt;

    Configuration configuration;
    configuration.port = lineAt(lines, PortLine);
    configuration.baudRate = lineAt(lines, BaudRateLine);
    configuration.autoConnect = isNonZeroNumber(lineAt(lines, AutoConnectLine));
    configuration.language = languageFromStoredName(lineAt(lines, LanguageLine));
    return configuration;
}

QStringList readConfigurationLines(QIODevice &device)
{
    QStringList lines;
    QByteArray line;
    while (lines.size() < LanguageLine && readOneLine(device, line))
        lines << QString::fromUtf8(line);
    return lines;
}

QByteArray configurationText(const Configuration &configuration)
{
    const QString name = QCoreApplication::applicationName();
    QStringList lines = {
        fileIdentifier + formatVersion,
        name + QLatin1Char(' ') + titleSuffix,
        generatorPrefix + name + QLatin1Char(' ') + QCoreApplication::applicationVersion(),
    };
    appendSection(lines, "Serial Port", configuration.port);
    appendSection(lines, "Baudrate", configuration.baudRate);
    appendSection(lines, "Auto-connect", QString::number(configuration.autoConnect ? 1 : 0));
    appendSection(lines, "Language", storedLanguageName(configuration.language));
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

std::optional<Configuration> readConfigurationFile(const QString &path)
{
    // Only a regular file: a directory cannot be read, and a pipe or a device
    // could block the start or never end.
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parseConfiguration(readConfigurationLines(file));
}

bool writeConfigurationFile(const QString &path, const Configuration &configuration)
{
    // The save replaces what the path leads to: a pipe or a device there,
    // reached through a link or not, would be swapped for a regular file.
    const QFileInfo target(path);
    if (path.isEmpty() || (target.exists() && !target.isFile()))
        return false;
    QDir().mkpath(target.absolutePath());
    // The new text goes to a temporary file that replaces the old one only
    // when complete: a full disk or a crash never leaves half a file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    const QByteArray text = configurationText(configuration);
    // commit() does not notice a failing final flush and would put an empty
    // file in place of the old one: see every byte into the file first.
    if (file.write(text) != text.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

// Windows answers "writable" for any folder, whatever its access rights
// (Program Files included), so there the file system is asked by creating a
// file; elsewhere the access check is exact and costs no write at start.
static bool canCreateFilesIn(const QString &directory)
{
#if defined(Q_OS_WIN)
    QTemporaryFile probe(QDir(directory).filePath(QStringLiteral(".settings-probe-XXXXXX")));
    return probe.open();
#else
    return QFileInfo(directory).isWritable();
#endif
}

// The folders where a system keeps installed programs: an administrator may
// write there, but nothing of a user's belongs there.
static QStringList systemProgramFolders()
{
#if defined(Q_OS_WIN)
    QStringList folders;
    for (const char *name : {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432", "SystemRoot"}) {
        const QString folder = qEnvironmentVariable(name);
        if (!folder.isEmpty())
            folders << QDir::cleanPath(QDir::fromNativeSeparators(folder));
    }
    return folders;
#else
    return {QStringLiteral("/usr"),    QStringLiteral("/bin"),   QStringLiteral("/sbin"),
            QStringLiteral("/lib"),    QStringLiteral("/lib32"), QStringLiteral("/lib64"),
            QStringLiteral("/libx32"), QStringLiteral("/opt"),   QStringLiteral("/snap")};
#endif
}

static bool isWithin(const QString &path, const QString &folder)
{
    if (folder.isEmpty()) // a folder this system lacks holds nothing
        return false;
#if defined(Q_OS_WIN)
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    return path.compare(folder, cs) == 0 || path.startsWith(folder + QLatin1Char('/'), cs);
}

bool isPortableFolder(const QString &directory)
{
    const QString path = QFileInfo(directory).canonicalFilePath();
    if (path.isEmpty())
        return false;
    for (const QString &folder : systemProgramFolders()) {
        if (isWithin(path, folder) || isWithin(path, QFileInfo(folder).canonicalFilePath()))
            return false;
    }
#if !defined(Q_OS_WIN)
    // Installed under any prefix, ~/.local included: the installed
    // translations lie where the install put them. (A Windows zip has the
    // same layout, and is portable.)
    if (QDir(path).exists(QStringLiteral(TUNARIS_TRANSLATIONS_FROM_BINDIR)))
        return false;
    // Root may write into any user's folder, but a copy there is that user's.
    if (QFileInfo(path).ownerId() != uint(::geteuid()))
        return false;
#endif
    return canCreateFilesIn(path);
}

ConfigurationPaths configurationPaths()
{
    const QString fileName = QCoreApplication::applicationName() + fileSuffix;
    const QString executableDirectory = QCoreApplication::applicationDirPath();
    const QString besideExecutable = QDir(executableDirectory).absoluteFilePath(fileName);
    if (isPortableFolder(executableDirectory))
        return {besideExecutable, besideExecutable};

    // An installed program keeps its settings in the user's folder; a file
    // beside it (left by an older version, or put there by an administrator)
    // is read until the user has one of their own. Without a user folder
    // nothing is saved.
    const QString userDirectory = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    if (userDirectory.isEmpty())
        return {besideExecutable, QString()};
    const QString userFile = QDir(userDirectory).absoluteFilePath(fileName);
    return {QFileInfo::exists(userFile) ? userFile : besideExecutable, userFile};
}

int indexForStoredValue(const QStringList &items, const QString &value)
{
    return qMax(0, items.lastIndexOf(value));
}
