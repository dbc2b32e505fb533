#include "link/linesettings.h"

#include <QSerialPort>

const QList<qint32> &supportedBaudRates()
{
    static const QList<qint32> rates = {9600, 14400, 19200, 38400, 57600, 115200};
    return rates;
}

void configureLine(QSerialPort &port, const QString &name, qint32 baudRate)
{
    port.setPortName(name);
    port.setBaudRate(baudRate);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
}
