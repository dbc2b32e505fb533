#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTimer>

#include <memory>
#include <vector>

class QWebSocket;

// The remote's pages, each on its WebSocket, and what they are told: one
// JSON object per event, {"link":{...}}, {"echo":{...}}, {"mixer":{...}},
// from the bridge to the page and never the other way. The last event of
// each kind is kept, and a page that opens is told those first, as if it
// had been open all along. A page goes when it closes, talks back, leaves more events unread than a
// phone would, or does not answer two pings in a row (a phone put away
// drops its connection without a word).
class PageEvents : public QObject
{
public:
    static constexpr int PingIntervalMs = 30 * 1000;

    explicit PageEvents(QObject *parent = nullptr);
    ~PageEvents() override;

    void startPings() { m_ping.start(PingIntervalMs); }
    // A page the remote let in.
    void take(std::unique_ptr<QWebSocket> socket);
    // `content` as the latest event of its `kind`, to every page.
    void tell(const QString &kind, const QJsonObject &content);

private:
    struct Page;
    using Pages = std::vector<std::unique_ptr<Page>>;

    Pages::const_iterator find(const QWebSocket *socket) const;
    Page *pageOf(const QWebSocket *socket) const;
    void ping();
    bool tellPage(QWebSocket *socket, const QByteArray &message);
    void drop(QWebSocket *socket);

    Pages m_pages;
    QList<QPair<QString, QByteArray>> m_latest; // in the order the kinds first came
    QTimer m_ping;
};
