#include "serialline.h"
#include "command/commandgrammar.h"
#include "link/portaccess.h"

#include <QDeadlineTimer>
#include <QSerialPortInfo>
#include <QStringList>

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

std::optional<qint32> parseBaudRate(const QString &text)
{
    bool ok = false;
    const qint32 rate = text.toInt(&ok, 10);
    if (!ok || !supportedBaudRates().contains(rate))
        return std::nullopt;
    return rate;
}

bool openLine(QSerialPort &port, const QString &name, qint32 baudRate, QIODevice::OpenMode mode, QString *error)
{
    configureLine(port, name, baudRate);
    if (port.open(mode))
        return true;
    *error = openFailureText(name, diagnoseOpenFailure(name, port));
    return false;
}

bool writeAll(QSerialPort &port, const QByteArray &bytes, QString *error)
{
    if (port.write(bytes) != bytes.size()) {
        *error = QStringLiteral("write failed: %1").arg(port.errorString());
        return false;
    }
    // QSerialPort only queues the bytes; hand them to the system now.
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
