#include "app/portquery.h"

#include <QSerialPortInfo>

namespace {

PortSource systemSource()
{
#if defined(Q_OS_UNIX)
    // Device nodes come and go in /dev; udev adds its stable names below
    // /dev/serial a moment later.
    return {systemPortNames,
            {QStringLiteral("/dev"), QStringLiteral("/dev/serial"), QStringLiteral("/dev/serial/by-id"),
             QStringLiteral("/dev/serial/by-path")}};
#else
    return {systemPortNames, {}};
#endif
}

PortSource &currentSource()
{
    static PortSource source = systemSource();
    return source;
}

} // namespace

QStringList systemPortNames()
{
    QStringList names;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        names << info.portName();
    return names;
}

void setPortSource(PortSource source)
{
    currentSource() = source.query ? std::move(source) : systemSource();
}

PortSource portSource()
{
    return currentSource();
}
