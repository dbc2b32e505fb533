#include "link/throttledreport.h"

#include <algorithm>

ThrottledReport::ThrottledReport(Report report, int burst, int intervalMs)
    : m_report(std::move(report))
    , m_burst(burst)
    , m_intervalMs(intervalMs)
    , m_room(burst)
{
    m_filled.start();
    m_later.setSingleShot(true);
    QObject::connect(&m_later, &QTimer::timeout, &m_later, [this] {
        refill();
        m_room -= 1;
        tellUnreported();
    });
}

void ThrottledReport::refill()
{
    m_room = std::min<double>(m_burst, m_room + double(m_filled.restart()) / m_intervalMs);
}

void ThrottledReport::operator()(const QString &text)
{
    refill();
    if (m_room < 1) {
        ++m_unreported;
        m_latest = text;
        if (!m_later.isActive())
            m_later.start(int((1 - m_room) * m_intervalMs) + 1);
        return;
    }
    m_later.stop();
    if (m_unreported > 0) {
        m_room -= 1;
        tellUnreported();
        if (m_room < 1) {
            ++m_unreported;
            m_latest = text;
            m_later.start(int((1 - m_room) * m_intervalMs) + 1);
            return;
        }
    }
    m_room -= 1;
    m_report(text);
}

void ThrottledReport::tellUnreported()
{
    m_report(m_unreported == 1 ? m_latest
                               : QStringLiteral("%1 more reports; the last: %2").arg(m_unreported).arg(m_latest));
    m_unreported = 0;
    m_latest.clear();
}
