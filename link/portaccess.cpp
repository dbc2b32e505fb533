#include "link/portaccess.h"
#include "link/linesettings.h"
#include "link/portnames.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTcpSocket>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A device server on the local network answers well within this.
constexpr int connectTimeoutMs = 5000;

#if defined(Q_OS_UNIX)
// Where the serial library, and the programs that share its habits, put
// the lock file of a port: "LCK.." and the name below /dev, slashes made
// underscores, in the first of these folders that can hold it.
QStringList lockFilePaths(const QString &portName)
{
    static const QStringList folders = {QStringLiteral("/var/lock"),
                                        QStringLiteral("/etc/locks"),
                                        QStringLiteral("/var/spool/locks"),
                                        QStringLiteral("/var/spool/uucp"),
                                        QStringLiteral("/tmp"),
                                        QStringLiteral("/var/tmp"),
                                        QStringLiteral("/var/lock/lockdev"),
                                        QStringLiteral("/run/lock"),
                                        QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    // The port may be locked by another of its names.
    QStringList names = {devicePath(portName), canonicalPortPath(portName)};
    names.removeDuplicates();
    QStringList paths;
    for (QString name : names) {
        if (name.startsWith(QLatin1String("/dev/")))
            name = name.mid(5);
        name.replace(QLatin1Char('/'), QLatin1Char('_'));
        for (const QString &folder : folders)
            paths << folder + QLatin1String("/LCK..") + name;
    }
    return paths;
}

// The living process a lock file names. Both the library's layout (the
// process id on the first line, then its name and host) and the older one
// (the process id alone, padded with blanks) start with the id.
bool findLockHolder(const QString &portName, OpenFailure &failure)
{
    for (const QString &path : lockFilePaths(portName)) {
        QFile lock(path);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        bool ok = false;
        const qint64 pid = lock.readLine(64).trimmed().toLongLong(&ok);
        if (!ok || pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno == ESRCH))
            continue;
        failure.holderPid = pid;
        QFile name(QStringLiteral("/proc/%1/comm").arg(pid));
        if (name.open(QIODevice::ReadOnly))
            failure.holder = QString::fromLocal8Bit(name.readLine(64).trimmed());
        return true;
    }
    return false;
}

QString deviceGroup(const QString &device)
{
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(device).constData(), &status) != 0)
        return QString();
    const group *owner = ::getgrgid(status.st_gid);
    return owner ? QString::fromLocal8Bit(owner->gr_name) : QString();
}
#endif

} // namespace

OpenFailure diagnoseOpenFailure(const QString &portName, const QSerialPort &port)
{
    using Kind = OpenFailure::Kind;
    OpenFailure failure;
    failure.systemText = port.errorString();
    const QString device = devicePath(portName);
#if defined(Q_OS_UNIX)
    const QByteArray path = QFile::encodeName(device);
    if (!QFileInfo::exists(device)) {
        failure.kind = Kind::NoSuchPort;
    } else if (isPseudoTerminalMultiplexer(portName)) {
        failure.kind = Kind::NotSerialPort;
    } else if (findLockHolder(portName, failure)) {
        failure.kind = Kind::Busy;
    } else if (::access(path.constData(), W_OK) != 0 && errno == EACCES) {
        failure.kind = Kind::NoPermission;
        failure.group = deviceGroup(device);
    } else {
        // Held for exclusive use (TIOCEXCL) by a program that took no lock file.
        const int probe = ::open(path.constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (probe >= 0)
            ::close(probe);
        else if (errno == EBUSY)
            failure.kind = Kind::Busy;
    }
#else
    Q_UNUSED(device);
    // Windows opens a COM port for one program at a time and refuses the
    // others with "access denied".
    if (port.error() == QSerialPort::DeviceNotFoundError)
        failure.kind = Kind::NoSuchPort;
    else if (port.error() == QSerialPort::PermissionError)
        failure.kind = Kind::Busy;
#endif
    return failure;
}

QString openFailureText(const QString &portName, const OpenFailure &failure)
{
    const auto text = [](const char *source) { return QCoreApplication::translate("MainWindow", source); };
    switch (failure.kind) {
    case OpenFailure::Kind::Busy:
        if (failure.holderPid > 0)
            return text(QT_TRANSLATE_NOOP("MainWindow", "%1 is in use by another program (%2, process %3)"))
                .arg(portName, failure.holder)
                .arg(failure.holderPid);
        return text(QT_TRANSLATE_NOOP("MainWindow", "%1 is in use by another program")).arg(portName);
    case OpenFailure::Kind::NoSuchPort:
        return text(QT_TRANSLATE_NOOP("MainWindow", "Cannot open %1: no such port")).arg(portName);
    case OpenFailure::Kind::NoPermission:
        if (!failure.group.isEmpty())
            return text(QT_TRANSLATE_NOOP("MainWindow",
                                          "Cannot open %1: no permission (the user is not in the %2 group)"))
                .arg(portName, failure.group);
        return text(QT_TRANSLATE_NOOP("MainWindow", "Cannot open %1: no permission")).arg(portName);
    case OpenFailure::Kind::NotSerialPort:
        return text(QT_TRANSLATE_NOOP("MainWindow",
                                      "Cannot open %1: it makes new pseudo-terminals, it is not a serial port"))
            .arg(portName);
    case OpenFailure::Kind::Other:
        break;
    }
    return text(QT_TRANSLATE_NOOP("MainWindow", "Cannot open %1: %2")).arg(portName, failure.systemText);
}

std::unique_ptr<QIODevice> openLine(const QString &name, qint32 baudRate, QIODevice::OpenMode mode, QString *error)
{
    if (isDeviceServerName(name)) {
        const std::optional<DeviceServerAddress> address = parseDeviceServerName(name);
        if (!address) {
            *error = QStringLiteral("'%1' is not a device server address (tcp://HOST:NUMBER)").arg(name);
            return nullptr;
        }
        auto server = std::make_unique<QTcpSocket>();
        server->connectToHost(address->host, address->port, mode);
        if (!server->waitForConnected(connectTimeoutMs)) {
            *error = QStringLiteral("cannot reach %1: %2").arg(name, server->errorString());
            return nullptr;
        }
        return server;
    }
    auto port = std::make_unique<QSerialPort>();
    if (!openPort(*port, name, baudRate, mode, error))
        return nullptr;
    return port;
}

bool openPort(QSerialPort &port, const QString &name, qint32 baudRate, QIODevice::OpenMode mode, QString *error)
{
    configureLine(port, name, baudRate);
    if (!isPseudoTerminalMultiplexer(name) && port.open(mode))
        return true;
    *error = openFailureText(name, diagnoseOpenFailure(name, port));
    return false;
}
