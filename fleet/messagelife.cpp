#include "fleet/messagelife.h"

#include <algorithm>

namespace MessageLife {

namespace {

std::optional<QDateTime> utcTime(const QByteArray &text)
{
    const QDateTime time = QDateTime::fromString(QString::fromLatin1(text), Qt::ISODateWithMs);
    if (!time.isValid() || time.timeSpec() != Qt::UTC)
        return std::nullopt;
    return time;
}

QString notUtc(const char *name)
{
    return QStringLiteral("'%1' is not a UTC time such as 2025-05-01T12:00:00.250Z").arg(QLatin1String(name));
}

} // namespace

QByteArray utcText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs).toLatin1();
}

Result judge(const Times &times, const QDateTime &now)
{
    std::optional<QDateTime> created;
    std::optional<QDateTime> expires;
    if (!times.created.isEmpty() && !(created = utcTime(times.created)))
        return {std::nullopt, notUtc("created")};
    if (!times.expires.isEmpty() && !(expires = utcTime(times.expires)))
        return {std::nullopt, notUtc("expires")};
    if (created && now.msecsTo(*created) > ClockToleranceSeconds * 1000) {
        return {std::nullopt, QStringLiteral("not sent: dated %1 s ahead of this player's clock; the sender's clock "
                                             "and the player's must agree within %2 s")
                                  .arg(now.secsTo(*created))
                                  .arg(ClockToleranceSeconds)};
    }

    // The steady bound, from the arrival.
    const qint64 steadyMs = qint64(times.expirySeconds.value_or(DefaultLifeSeconds)) * 1000;
    QString steadyWhy = times.expirySeconds
                            ? QStringLiteral("its message expiry, %1 s left when it came").arg(*times.expirySeconds)
                            : QStringLiteral("%1 s from its arrival, having no message expiry").arg(DefaultLifeSeconds);
    // The bound on the sender's clock.
    QDateTime notAfter;
    QString wallWhy;
    if (expires) {
        notAfter = *expires;
        wallWhy = QStringLiteral("until %1, its 'expires' time").arg(QString::fromLatin1(utcText(*expires)));
    }
    if (created && !times.expirySeconds) {
        const QDateTime end = created->addSecs(DefaultLifeSeconds);
        if (!notAfter.isValid() || end < notAfter) {
            notAfter = end;
            wallWhy = QStringLiteral("%1 s from its 'created' time").arg(DefaultLifeSeconds);
        }
    }

    CommandLife life;
    life.deadline = QDeadlineTimer(steadyMs);
    life.notAfter = notAfter;
    // The bound that ends first names the life; the clocks run alike after.
    life.why = notAfter.isValid() && now.msecsTo(notAfter) < steadyMs ? wallWhy : steadyWhy;
    return {life, QString()};
}

} // namespace MessageLife
