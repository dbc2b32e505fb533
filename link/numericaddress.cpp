#include "link/numericaddress.h"

#if defined(Q_OS_WIN)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

std::optional<int> plainDecimal(QStringView text, int max)
{
    if (text.isEmpty() || text.size() > 5 || (text.size() > 1 && text.front() == QLatin1Char('0')))
        return std::nullopt;
    int value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
    }
    return value <= max ? std::optional<int>(value) : std::nullopt;
}

std::optional<QHostAddress> parseIPv4(QStringView text)
{
    const QList<QStringView> parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    quint32 address = 0;
    for (const QStringView part : parts) {
        const std::optional<int> octet = plainDecimal(part, 255);
        if (!octet)
            return std::nullopt;
        address = address << 8 | quint32(*octet);
    }
    return QHostAddress(address);
}

std::optional<QHostAddress> parseIPv6(QStringView text)
{
    // The system's reader decides, on plain ASCII only: a NUL would end
    // the text early, and a zone (%eth0) names no network.
    QByteArray ascii;
    for (const QChar c : text) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f)
            return std::nullopt;
        ascii += char(c.unicode());
    }
    unsigned char bytes[16];
    if (::inet_pton(AF_INET6, ascii.constData(), bytes) != 1)
        return std::nullopt;
    return QHostAddress(bytes);
}
