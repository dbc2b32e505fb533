#include "link/portnames.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#if defined(Q_OS_UNIX)
#include <sys/stat.h>
#endif

QString devicePath(const QString &portName)
{
#if defined(Q_OS_UNIX)
    if (!portName.startsWith(QLatin1Char('/')))
        return QLatin1String("/dev/") + portName;
#endif
    return portName;
}

QString canonicalPortPath(const QString &portName)
{
#if defined(Q_OS_WIN)
    QString name = portName.trimmed().toUpper();
    if (name.startsWith(QLatin1String("\\\\.\\")))
        name = name.mid(4);
    return name;
#else
    const QFileInfo device(devicePath(portName));
    const QString canonical = device.canonicalFilePath();
    return canonical.isEmpty() ? device.absoluteFilePath() : canonical;
#endif
}

bool isPseudoTerminalMultiplexer(const QString &portName)
{
#if defined(Q_OS_UNIX)
    // By the device itself, not by its name: links and copies of the node
    // lead to the same one.
    struct stat given
    {
    };
    if (::stat(QFile::encodeName(devicePath(portName)).constData(), &given) != 0 || !S_ISCHR(given.st_mode))
        return false;
    for (const char *multiplexer : {"/dev/ptmx", "/dev/pts/ptmx"}) {
        struct stat known
        {
        };
        if (::stat(multiplexer, &known) == 0 && S_ISCHR(known.st_mode) && known.st_rdev == given.st_rdev)
            return true;
    }
#else
    Q_UNUSED(portName);
#endif
    return false;
}

bool isDeviceServerName(const QString &portName)
{
    return portName.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive);
}

std::optional<DeviceServerAddress> parseDeviceServerName(const QString &portName)
{
    const QUrl url(portName, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("tcp") || url.host().isEmpty() || url.port() <= 0
        || !url.userInfo().isEmpty() || !(url.path().isEmpty() || url.path() == QLatin1String("/")) || url.hasQuery()
        || url.hasFragment())
        return std::nullopt;
    return DeviceServerAddress{url.host(), quint16(url.port())};
}
