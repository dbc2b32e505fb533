#pragma once

#include <QIODevice>
#include <QList>
#include <QString>

class QSerialPort;

// The serial line the player listens on, shared by the window and the
// command-line tools: 8 data bits, no parity, 1 stop bit, no flow control,
// at one of the rates the player supports.

constexpr qint32 DefaultBaudRate = 115200;

// Slowest first; the default is the last.
const QList<qint32> &supportedBaudRates();

// How a sender opens the line. The player never answers, so write access is
// all it needs; Windows serial drivers (and Wine) refuse the line settings on
// a handle without read access, so there the line is opened both ways and
// whatever arrives is dropped.
constexpr QIODevice::OpenMode SendOpenMode =
#if defined(Q_OS_WIN)
    QIODevice::ReadWrite;
#else
    QIODevice::WriteOnly;
#endif

// Applies the port name, the rate and the fixed line settings; they take
// effect at the next opening.
void configureLine(QSerialPort &port, const QString &name, qint32 baudRate);
