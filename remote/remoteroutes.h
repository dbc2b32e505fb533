#pragma once

#include "remote/remotepolicy.h"
#include "remote/remotetexts.h"

class PageEvents;

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHttpServerResponder>
#include <QList>
#include <QString>

#include <functional>

// What a page's server answers (the venue's remote, the office's page),
// path by path, each request first put to the policy (remotepolicy.h):
//   GET / and the page's files  from the program's resources
//   GET /?key=...      the operator's link: its key goes into the cookie, and
//                      the address bar is left without it
//   GET /session       the page's texts in the browser's language, and
//                      what the browser holds of the key
//   POST /command      a command, for the site to hand on and answer with
//                      its outcome; from the page's own origin with the key
//   GET /events        upgraded to the page's WebSocket, for the server's own
//                      page with the key
// Nothing else is served, and no GET changes anything.
class RemoteRoutes : public QAbstractHttpServer
{
public:
    using Status = QHttpServerResponder::StatusCode;
    // A command's answer: its status and its text ("ok 20 ff ff ff").
    using Answer = std::function<void(Status, const QByteArray &)>;

    // What differs from one page to another.
    struct Site
    {
        struct File
        {
            QString path;     // "/remote.js"
            QString resource; // ":/remote/page/remote.js"
            QByteArray type;
        };
        QList<File> files; // "/" among them
        // The page's texts as JSON, in a language (remotetexts.h).
        std::function<QByteArray(PageLanguage)> texts;
        // A command's body, from a client: answered once, maybe later.
        std::function<void(const QByteArray &body, const QHostAddress &client, Answer answer)> command;
    };

    RemoteRoutes(RemotePolicy &policy, Site site, QObject *parent = nullptr);
    ~RemoteRoutes() override;

    // The WebSockets of pages this server let in go to `events` (which must
    // outlive the server's sockets); any other upgrade is closed.
    void sendPagesTo(PageEvents *events);

protected:
    // An upgrade goes ahead only when this says so, and is then answered by
    // the WebSocket server; one refused gets its answer from missingHandler().
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    void answer(const QHttpServerRequest &request, RemotePolicy::Key key, QHttpServerResponder &&responder);
    bool acceptPage(const QHttpServerRequest &request, RemotePolicy::Key key, QTcpSocket *socket);
    void openWithKey(const QHttpServerRequest &request, QHttpServerResponder &&responder);
    void takeCommand(const QHttpServerRequest &request, RemotePolicy::Key key, QTcpSocket *socket,
                     QHttpServerResponder &&responder);

    RemotePolicy &m_policy;
    Site m_site;
};

// Serves `routes` on the address and port, taking only the clients the
// policy admits, before a byte of theirs is read.
bool listenWithPolicy(RemoteRoutes &routes, RemotePolicy &policy, const QHostAddress &address, quint16 port,
                      QString *error);
