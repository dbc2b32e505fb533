#include "tools/common/serialline.h"
#include "command/commandgrammar.h"
#include "link/portnames.h"

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStringList>
#include <QTcpSocket>

#if defined(Q_OS_UNIX)
#include <termios.h>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

// Time allowed beyond the bytes' own time on the line for the system to
// take them; a line that takes longer is stuck.
constexpr int handOverMarginMs = 2000;

int lineTimeMs(qint64 byteCount, qint32 baudRate)
{
    constexpr int bitsPerByte = 10; // start bit, 8 data bits, stop bit
    return int(byteCount * bitsPerByte * 1000 / qMax(baudRate, 1)) + 1;
}

// Waits until the system has sent what it was given. Without this, closing
// the port may restore the line's previous settings while the last bytes are
// still in the adapter's buffer, and they would go out at the wrong rate.
// With flow control off the line always drains, so this cannot hang.
void drainLine(QSerialPort &port)
{
#if defined(Q_OS_UNIX)
    ::tcdrain(port.handle());
#elif defined(Q_OS_WIN)
    ::FlushFileBuffers(port.handle());
#else
    Q_UNUSED(port);
#endif
}

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

bool writeAll(QSerialPort &port, const QByteArray &bytes, QString *error)
{
    if (port.write(bytes) != bytes.size()) {
        *error = QStringLiteral("write failed: %1").arg(port.errorString());
        return false;
    }
    // It only queues the bytes; hand them to the system now.
    QDeadlineTimer deadline(handOverMarginMs + lineTimeMs(bytes.size(), port.baudRate()));
    while (port.bytesToWrite() > 0 && !deadline.hasExpired()) {
        if (!port.waitForBytesWritten(int(deadline.remainingTime())))
            break;
    }
    if (port.bytesToWrite() > 0) {
        *error = QStringLiteral("%1 of %2 bytes not sent: %3")
                     .arg(port.bytesToWrite())
                     .arg(bytes.size())
                     .arg(port.errorString());
        return false;
    }
    drainLine(port);
    return true;
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
