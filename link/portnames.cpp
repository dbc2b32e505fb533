#include "link/portnames.h"

#include <QFileInfo>

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
