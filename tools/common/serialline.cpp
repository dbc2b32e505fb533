#include "tools/common/serialline.h"
#include "command/commandgrammar.h"
#include "link/portnames.h"

#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStringList>
#include <QTcpSocket>

namespace {

QString portDisplayName(const QSerialPortInfo &info)
{
#if defined(Q_OS_WIN)
    return info.portName(); // COM3 rather than \\.\COM3
#else
    return info.systemLocation();
#endif
}

} // namespace

QString supportedBaudRatesText()
{
    QStringList texts;
    for (const qint32 rate : supportedBaudRates())
        texts << QString::number(rate);
    return alternatives(texts);
}

QString portArgumentError(const QString &value)
{
    if (value.isEmpty())
        return QStringLiteral("--port needs a value");
    if (isDeviceServerName(value) && !parseDeviceServerName(value))
        return QStringLiteral("'%1' is not a device server address (tcp://HOST:NUMBER)").arg(value);
    return QString();
}

QCommandLineOption baudRateOption()
{
    return QCommandLineOption(QStringLiteral("baud"),
                              QStringLiteral("%1 (default %2)").arg(supportedBaudRatesText()).arg(DefaultBaudRate),
                              QStringLiteral("RATE"));
}

std::optional<qint32> baudRateGiven(const QCommandLineParser &parser, QString *error)
{
    const QString given = parser.value(QStringLiteral("baud"));
    if (given.isEmpty())
        return DefaultBaudRate;
    const std::optional<qint32> rate = parseBaudRate(given);
    if (!rate)
        *error = QStringLiteral("baud rate %1 is not supported (%2)").arg(given, supportedBaudRatesText());
    return rate;
}

std::optional<qint32> parseBaudRate(const QString &text)
{
    bool ok = false;
    const qint32 rate = text.toInt(&ok, 10);
    if (!ok || !supportedBaudRates().contains(rate))
        return std::nullopt;
    return rate;
}

bool waitForBytes(QIODevice &line, int ms, bool *ready, QString *error)
{
    *ready = line.waitForReadyRead(ms);
    if (*ready)
        return true;
    if (auto *port = qobject_cast<QSerialPort *>(&line)) {
        if (port->error() == QSerialPort::NoError || port->error() == QSerialPort::TimeoutError)
            return true;
        *error = port->errorString();
        return false;
    }
    auto *server = static_cast<QTcpSocket *>(&line);
    if (server->state() == QAbstractSocket::ConnectedState)
        return true;
    *error = server->error() == QAbstractSocket::RemoteHostClosedError
                 ? QStringLiteral("the device server closed the connection")
                 : server->errorString();
    return false;
}

QStringList portListing()
{
    QStringList lines;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        QString line = portDisplayName(info);
        if (!info.description().isEmpty())
            line += QLatin1String("  ") + info.description();
        lines << line;
    }
    return lines;
}
