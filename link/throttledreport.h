#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <functional>

// Reports of what clients do, for a log that a flood must not fill: at most
// one a second; those that come between are counted and told as "N more
// like the last report" once the second is over.
class ThrottledReport
{
public:
    using Report = std::function<void(const QString &)>;

    static constexpr int IntervalMs = 1000;

    explicit ThrottledReport(Report report);

    void operator()(const QString &text);

private:
    void tellUnreported();

    Report m_report;
    QElapsedTimer m_last;
    QTimer m_later;
    int m_unreported = 0;
};
