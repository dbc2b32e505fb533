#include "tools/monitor/monitorline.h"

namespace {

// Wide enough for a whole frame, "03 01 2c ff", so the descriptions line up.
constexpr int bytesColumnWidth = 11;

} // namespace

QString monitorLine(const QTime &arrival, const ScannedItem &item)
{
    const QString bytes = QString::fromLatin1(item.bytes.toHex(' ')).leftJustified(bytesColumnWidth);
    return arrival.toString(QStringLiteral("hh:mm:ss.zzz")) + QLatin1String("  ") + bytes + QLatin1String("  ")
           + describe(item);
}
