#pragma once

#include "link/linesettings.h"
#include "link/portaccess.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QIODevice>
#include <QList>
#include <QString>

#include <memory>

class QSerialPort;
#include <optional>

// The line as the command-line tools use it: a serial port with the
// console's line settings and baud rates (linesettings.h), or the raw TCP
// stream of a serial device server (tcp://HOST:NUMBER), opened, written,
// read and listed.

// "9600, 14400, 19200, 38400, 57600 or 115200", for help and error texts.
QString supportedBaudRatesText();
// The rate a decimal text names, if the console offers it.
std::optional<qint32> parseBaudRate(const QString &text);

// Why a --port value names no port, in words shared by the tools ("--port
// needs a value", "'tcp://x' is not a device server address ..."); empty
// when it may name one. Such a value is a bad argument, not a failed port.
QString portArgumentError(const QString &value);

// The --baud option of the tools that take a QCommandLineParser, and its
// value: the default rate when it is not given, nothing (and `error` says
// why) when the rate is not one of the console's.
QCommandLineOption baudRateOption();
std::optional<qint32> baudRateGiven(const QCommandLineParser &parser, QString *error);

// Waits up to `ms` for bytes to read; false when the line failed or was
// closed by its far end, and `error` then says why.
bool waitForBytes(QIODevice &line, int ms, bool *ready, QString *error);

// One line per port the system reports: its device name and, when known,
// what it is ("/dev/ttyUSB0  FT232R USB UART").
QStringList portListing();
