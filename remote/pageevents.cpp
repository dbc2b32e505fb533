#include "remote/pageevents.h"
#include "command/commandline.h"

#include <QJsonDocument>
#include <QWebSocket>

#include <algorithm>

namespace {

QByteArray message(const QString &kind, const QJsonObject &content)
{
    return QJsonDocument(QJsonObject{{kind, content}}).toJson(QJsonDocument::Compact);
}

// Kinds are words of ours; a key is any text after them.
QString latestKey(const QString &kind, const QString &key)
{
    return key.isNull() ? kind : kind + QLatin1Char('\n') + key;
}

} // namespace

struct PageEvents::Page
{
    std::unique_ptr<QWebSocket> socket;
    bool answered = true; // the last ping
};

PageEvents::PageEvents(qint64 maxUnsentBytes, QObject *parent)
    : QObject(parent)
    , m_maxUnsentBytes(maxUnsentBytes)
{
    connect(&m_ping, &QTimer::timeout, this, &PageEvents::ping);
}

PageEvents::~PageEvents() = default;

void PageEvents::take(std::unique_ptr<QWebSocket> socket)
{
    // The events go one way; a page that talks back is not ours.
    socket->setMaxAllowedIncomingFrameSize(MaxCommandLineLength);
    socket->setMaxAllowedIncomingMessageSize(MaxCommandLineLength);
    QWebSocket *events = socket.get();
    const auto drop = [this, events] { this->drop(events); };
    connect(events, &QWebSocket::disconnected, this, drop);
    connect(events, &QWebSocket::textMessageReceived, this, drop);
    connect(events, &QWebSocket::binaryMessageReceived, this, drop);
    connect(events, &QWebSocket::pong, this, [this, events] {
        if (Page *page = pageOf(events))
            page->answered = true;
    });
    m_pages.push_back(std::make_unique<Page>(Page{std::move(socket)}));
    for (const QByteArray &latest : std::as_const(m_latest)) {
        if (!tellPage(events, latest))
            return;
    }
}

void PageEvents::tell(const QString &kind, const QJsonObject &content, const QString &key)
{
    const QByteArray told = message(kind, content);
    const QString at = latestKey(kind, key);
    const auto order = m_latestOrder.constFind(at);
    if (order == m_latestOrder.cend()) {
        m_latestOrder.insert(at, m_nextOrder);
        m_latest.insert(m_nextOrder++, told);
    } else {
        m_latest.insert(*order, told);
    }
    tellAll(told);
}

void PageEvents::keep(const QString &kind, const QString &key, const QJsonObject &content)
{
    const QString at = latestKey(kind, key);
    const auto order = m_latestOrder.find(at);
    if (content.isEmpty()) {
        if (order != m_latestOrder.end()) {
            m_latest.remove(*order);
            m_latestOrder.erase(order);
        }
        return;
    }
    if (order == m_latestOrder.end()) {
        m_latestOrder.insert(at, m_nextOrder);
        m_latest.insert(m_nextOrder++, message(kind, content));
    } else {
        m_latest.insert(*order, message(kind, content));
    }
}

void PageEvents::tellOpen(const QString &kind, const QJsonObject &content)
{
    tellAll(message(kind, content));
}

void PageEvents::tellAll(const QByteArray &message)
{
    QList<QWebSocket *> sockets;
    for (const auto &page : m_pages)
        sockets << page->socket.get();
    // A page let go of meanwhile is no longer found.
    for (QWebSocket *socket : std::as_const(sockets)) {
        if (pageOf(socket))
            tellPage(socket, message);
    }
}

void PageEvents::ping()
{
    QList<QWebSocket *> silent;
    for (const auto &page : m_pages) {
        if (!page->answered) {
            silent << page->socket.get();
            continue;
        }
        page->answered = false;
        page->socket->ping();
    }
    for (QWebSocket *socket : std::as_const(silent))
        drop(socket);
}

// False when the page was let go of, for leaving its events unread.
bool PageEvents::tellPage(QWebSocket *socket, const QByteArray &message)
{
    socket->sendTextMessage(QString::fromUtf8(message));
    if (socket->bytesToWrite() <= m_maxUnsentBytes)
        return true;
    drop(socket);
    return false;
}

PageEvents::Pages::const_iterator PageEvents::find(const QWebSocket *socket) const
{
    return std::find_if(m_pages.begin(), m_pages.end(),
                        [socket](const auto &page) { return page->socket.get() == socket; });
}

PageEvents::Page *PageEvents::pageOf(const QWebSocket *socket) const
{
    const auto found = find(socket);
    return found != m_pages.end() ? found->get() : nullptr;
}

// Once only, whichever way it goes. The socket may be in the middle of one
// of its own signals: it goes when that has returned.
void PageEvents::drop(QWebSocket *socket)
{
    const auto found = find(socket);
    if (found == m_pages.end())
        return;
    std::unique_ptr<QWebSocket> leaving = std::move((*found)->socket);
    m_pages.erase(found);
    leaving->disconnect(this);
    leaving->abort();
    leaving.release()->deleteLater();
}
