#pragma once

#include <QIODevice>
#include <QString>

class QSerialPort;

// Why a port could not be opened, found out from the system rather than
// from the serial library's words: "Permission error while locking the
// device" is what it says when another program has the port.
struct OpenFailure
{
    enum class Kind { Busy, NoSuchPort, NoPermission, Other };

    Kind kind = Kind::Other;
    QString holder;       // Busy: the program that holds the port, when the system tells
    qint64 holderPid = 0;
    QString group;        // NoPermission: the group that may use the device
    QString systemText;   // Other: the library's own words
};

// Call right after `port` failed to open `portName`.
OpenFailure diagnoseOpenFailure(const QString &portName, const QSerialPort &port);

// The failure in words, in the interface language where one is installed:
// "ttyUSB0 is in use by another program (cutecom, process 1234)".
QString openFailureText(const QString &portName, const OpenFailure &failure);
