#pragma once

#include <QList>
#include <QString>

class QSerialPort;

// The serial line the player listens on, shared by the window and the
// command-line tools: 8 data bits, no parity, 1 stop bit, no flow control,
// at one of the rates the player supports.

constexpr qint32 DefaultBaudRate = 115200;

// Slowest first; the default is the last.
const QList<qint32> &supportedBaudRates();

// Applies the port name, the rate and the fixed line settings; they take
// effect at the next opening.
void configureLine(QSerialPort &port, const QString &name, qint32 baudRate);
