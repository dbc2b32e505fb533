#pragma once

#include <QHostAddress>
#include <QStringView>

#include <optional>

// Numbers and addresses as an operator writes them on a command line: digits
// only, without a sign, spaces or leading zeros, and IPv4 as four such
// numbers. The system's readers take "010.0.0.1" as octal and "127.1" as
// 127.0.0.1, addresses nobody meant, so nothing here is left to them.

// A decimal number of at most `max` (and at most five digits).
std::optional<int> plainDecimal(QStringView text, int max);
// a.b.c.d, each part a plain decimal number of at most 255.
std::optional<QHostAddress> parseIPv4(QStringView text);
// IPv6 in any of its written forms, without a zone (%eth0), which names no
// network.
std::optional<QHostAddress> parseIPv6(QStringView text);
