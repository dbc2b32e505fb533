#include "link/throttledreport.h"

ThrottledReport::ThrottledReport(Report report)
    : m_report(std::move(report))
{
    m_later.setSingleShot(true);
    QObject::connect(&m_later, &QTimer::timeout, &m_later, [this] {
        tellUnreported();
        m_last.start();
    });
}

void ThrottledReport::operator()(const QString &text)
{
    if (m_last.isValid() && !m_last.hasExpired(IntervalMs)) {
        ++m_unreported;
        if (!m_later.isActive())
            m_later.start(int(IntervalMs - m_last.elapsed()));
        return;
    }
    m_later.stop();
    if (m_unreported > 0)
        tellUnreported();
    m_last.start();
    m_report(text);
}

void ThrottledReport::tellUnreported()
{
    m_report(QStringLiteral("%1 more like the last report").arg(m_unreported));
    m_unreported = 0;
}
