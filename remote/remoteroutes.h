#pragma once

#include "command/commandline.h"
#include "remote/remotepolicy.h"

class CommandIntake;

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHttpServerResponder>

#include <functional>

// What the web remote answers, path by path, each request first put to the
// policy (remotepolicy.h):
//   GET /, /remote.css, /remote.js, /icon.png  the page, from the program's resources
//   GET /?key=...      the operator's link: its key goes into the cookie, and
//                      the address bar is left without it
//   GET /session       the page's texts in the browser's language, and
//                      what the browser holds of the key
//   POST /command      one command in the grammar's words, handed over and
//                      answered with its outcome, as a TCP line is
//   GET /events        upgraded to the page's WebSocket, for the remote's own
//                      page with the key
// Nothing else is served, and no GET changes anything.
class RemoteRoutes : public QAbstractHttpServer
{
public:
    using Status = QHttpServerResponder::StatusCode;
    // A command's answer: its status and its line, "ok 20 ff ff ff".
    using Answer = std::function<void(Status, const QByteArray &)>;

    RemoteRoutes(RemotePolicy &policy, CommandIntake *intake, QObject *parent = nullptr);
    ~RemoteRoutes() override;

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
    void handOver(const QByteArray &body, const QHostAddress &client, Answer answer);

    RemotePolicy &m_policy;
    CommandIntake *m_intake;
};
