#include "link/portnames.h"

#include <QFileInfo>
#include <QUrl>

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

bool isDeviceServerName(const QString &portName)
{
    return portName.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive);
}

std::optional<DeviceServerAddress> parseDeviceServerName(const QString &portName)
{
    const QUrl url(portName, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("tcp") || url.host().isEmpty() || url.port() <= 0
        || !url.userInfo().isEmpty() || !(url.path().isEmpty() || url.path() == QLatin1String("/"))
        || url.hasQuery() || url.hasFragment())
        return std::nullopt;
    return DeviceServerAddress{url.host(), quint16(url.port())};
}
