#pragma once

#include "link/linesettings.h"

#include <QByteArray>
#include <QList>
#include <QSerialPort>
#include <QString>

#include <optional>

// The serial line as the command-line tools use it: the console's line
// settings and baud rates (linesettings.h), opened, written and listed.

// "9600, 14400, 19200, 38400, 57600 or 115200", for help and error texts.
QString supportedBaudRatesText();
// The rate a decimal text names, if the console offers it.
std::optional<qint32> parseBaudRate(const QString &text);

// Sets the line up and opens it; on failure `error` says why, in the form
// "ttyUSB0 is in use by another program (cutecom, process 1234)".
bool openLine(QSerialPort &port, const QString &name, qint32 baudRate, QIODevice::OpenMode mode, QString *error);

// Writes the bytes and returns only when all of them have left the program
// and the system has put them on the line, or when that failed (and `error`
// says why, without the port's name). Closing the port earlier could cut off the last frames.
bool writeAll(QSerialPort &port, const QByteArray &bytes, QString *error);

// One line per port the system reports: its device name and, when known,
// what it is ("/dev/ttyUSB0  FT232R USB UART").
QStringList portListing();
