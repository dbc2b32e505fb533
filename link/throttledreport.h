#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <functional>

// Reports of what clients do, for a log that a flood must not fill: at most
// `burst` at once, then one each `intervalMs`; those that come beyond are
// counted, and told once there is room with the latest of them: "37 more
// reports; the last: <text>". So a steady flood still shows what it is now.
class ThrottledReport
{
public:
    using Report = std::function<void(const QString &)>;

    static constexpr int IntervalMs = 1000;

    explicit ThrottledReport(Report report, int burst = 1, int intervalMs = IntervalMs);

    void operator()(const QString &text);

private:
    void refill();
    void tellUnreported();

    Report m_report;
    int m_burst;
    int m_intervalMs;
    double m_room;
    QElapsedTimer m_filled;
    QTimer m_later;
    int m_unreported = 0;
    QString m_latest; // of those held back
};
