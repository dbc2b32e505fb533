#pragma once

#include <QString>

// What a port name the operator gives stands for.

// The device path: on Unix "ttyUSB0" is /dev/ttyUSB0 and a path is itself;
// elsewhere the name is the device.
QString devicePath(const QString &portName);

// The device itself, the same for every name it goes by: a by-id link,
// /dev/ttyUSB0 and ttyUSB0 all give /dev/ttyUSB0; com5 and \\.\COM5 give
// COM5. A device that does not exist keeps the path it was given.
QString canonicalPortPath(const QString &portName);
