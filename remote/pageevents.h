#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class QWebSocket;

// A page's events, each on its WebSocket, and what they are told: one JSON
// object per event, {"link":{...}}, {"echo":{...}}, {"player":{...}}, from the
// server to the page and never the other way. The latest event of each kind
// is kept (of each thing, for kinds of which there are many, such as a
// fleet's players), and a page that opens is told those first, in the order
// they first came, as if it had been open all along. A page goes when it
// closes, talks back, leaves more than `maxUnsentBytes` of events unread, or
// does not answer two pings in a row (a phone put away drops its connection
// without a word).
class PageEvents : public QObject
{
public:
    static constexpr int PingIntervalMs = 30 * 1000;
    // What a phone may leave unread; a page with many things to be told at
    // once needs more.
    static constexpr qint64 DefaultMaxUnsentBytes = 64 * 1024;

    explicit PageEvents(qint64 maxUnsentBytes = DefaultMaxUnsentBytes, QObject *parent = nullptr);
    ~PageEvents() override;

    void startPings() { m_ping.start(PingIntervalMs); }
    // A page the server let in.
    void take(std::unique_ptr<QWebSocket> socket);
    // `content` as the latest event of its `kind`, or of the thing `key`
    // among its kind, to every page now and to each that opens later.
    void tell(const QString &kind, const QJsonObject &content, const QString &key = QString());
    // What a page that opens later is told of that thing, without telling
    // the pages open now (which follow it by other events); an empty
    // `content`: nothing any more.
    void keep(const QString &kind, const QString &key, const QJsonObject &content);
    // To the pages open now, and kept for none.
    void tellOpen(const QString &kind, const QJsonObject &content);
    int pages() const { return int(m_pages.size()); }

private:
    struct Page;
    using Pages = std::vector<std::unique_ptr<Page>>;

    Pages::const_iterator find(const QWebSocket *socket) const;
    Page *pageOf(const QWebSocket *socket) const;
    void ping();
    void tellAll(const QByteArray &message);
    bool tellPage(QWebSocket *socket, const QByteArray &message);
    void drop(QWebSocket *socket);

    qint64 m_maxUnsentBytes;
    Pages m_pages;
    // The latest event of each kind and key, in the order they first came.
    QMap<quint64, QByteArray> m_latest;
    QHash<QString, quint64> m_latestOrder;
    quint64 m_nextOrder = 0;
    QTimer m_ping;
};
