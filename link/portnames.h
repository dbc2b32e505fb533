#pragma once

#include <QString>

#include <optional>

// What a port name the operator gives stands for.

// The device path: on Unix "ttyUSB0" is /dev/ttyUSB0 and a path is itself;
// elsewhere the name is the device.
QString devicePath(const QString &portName);

// The device itself, the same for every name it goes by: a by-id link,
// /dev/ttyUSB0 and ttyUSB0 all give /dev/ttyUSB0; com5 and \\.\COM5 give
// COM5. A device that does not exist keeps the path it was given.
QString canonicalPortPath(const QString &portName);

// Whether the name leads to the pseudo-terminal multiplexer (/dev/ptmx,
// /dev/pts/ptmx, or any other name of that device): each opening of it makes
// a new pseudo-terminal that nobody reads, so it is never a player's port.
bool isPseudoTerminalMultiplexer(const QString &portName);

// A serial device server's raw TCP stream given as a port: tcp://HOST:NUMBER
// (an IPv6 host in brackets, tcp://[::1]:4001). The same four bytes travel on
// it as on a serial line.
struct DeviceServerAddress
{
    QString host;
    quint16 port = 0;
};
bool isDeviceServerName(const QString &portName);
// Nothing when the name starts with tcp:// but is not a usable address.
std::optional<DeviceServerAddress> parseDeviceServerName(const QString &portName);
