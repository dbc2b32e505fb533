#pragma once

#include <QIODevice>
#include <QString>

#include <memory>

class QSerialPort;

// Why a port could not be opened, found out from the system rather than
// from the serial library's words: "Permission error while locking the
// device" is what it says when another program has the port.
struct OpenFailure
{
    enum class Kind { Busy, NoSuchPort, NoPermission, NotSerialPort, Other };

    Kind kind = Kind::Other;
    QString holder; // Busy: the program that holds the port, when the system tells
    qint64 holderPid = 0;
    QString group;      // NoPermission: the group that may use the device
    QString systemText; // Other: the library's own words
};

// Call right after `port` failed to open `portName`.
OpenFailure diagnoseOpenFailure(const QString &portName, const QSerialPort &port);

// The failure in words, in the interface language where one is installed:
// "ttyUSB0 is in use by another program (cutecom, process 1234)".
QString openFailureText(const QString &portName, const OpenFailure &failure);

// Opens the serial port with the line settings (never the pseudo-terminal
// multiplexer); on failure `error` says why, as below.
bool openPort(QSerialPort &port, const QString &name, qint32 baudRate, QIODevice::OpenMode mode, QString *error);

// Opens the port with the line settings, or connects to the device server
// (tcp://HOST:NUMBER); on failure `error` says why, for example "ttyUSB0 is
// in use by another program (cutecom, process 1234)" or "cannot reach
// tcp://10.0.0.5:4001: Connection refused". Waits for the device server.
std::unique_ptr<QIODevice> openLine(const QString &name, qint32 baudRate, QIODevice::OpenMode mode, QString *error);
