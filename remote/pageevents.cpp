#include "remote/pageevents.h"
#include "command/commandline.h"

#include <QJsonDocument>
#include <QWebSocket>

#include <algorithm>

namespace {

// Events a page leaves unread, at most, before it is dropped.
constexpr qint64 maxUnsentEventBytes = 64 * 1024;

} // namespace

struct PageEvents::Page
{
    std::unique_ptr<QWebSocket> socket;
    bool answered = true; // the last ping
};

PageEvents::PageEvents(QObject *parent)
    : QObject(parent)
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
    for (const auto &[kind, message] : std::as_const(m_latest)) {
        if (!tellPage(events, message))
            return;
    }
}

void PageEvents::tell(const QString &kind, const QJsonObject &content)
{
    const QByteArray message = QJsonDocument(QJsonObject{{kind, content}}).toJson(QJsonDocument::Compact);
    const auto latest =
        std::find_if(m_latest.begin(), m_latest.end(), [&kind](const auto &kept) { return kept.first == kind; });
    if (latest == m_latest.end())
        m_latest.append({kind, message});
    else
        latest->second = message;
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
    if (socket->bytesToWrite() <= maxUnsentEventBytes)
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
