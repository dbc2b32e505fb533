#pragma once

#include "command/commandline.h"

#include <QAbstractSocket>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

// One client of a command line service, the port's endpoint or the network
// bridge (QLocalSocket or QTcpSocket): its lines are answered one at a time,
// each once its command went to the line, so "ok" means sent. A client that
// sends nothing for `idleTimeoutMs` is told so and let go, and so is one
// whose line does not end within `lineDeadlineMs` of the session starting to
// wait for its end (a client that trickles bytes would hold its slot for
// ever); one that leaves its answers unread is dropped. Deleting the
// session lets the client go after what it was told.
template<typename Socket> class CommandSession : public QObject
{
public:
    // Programs send a line at once; people type it before sending it.
    static constexpr int LineDeadlineMs = 10 * 1000;

    CommandSession(Socket *socket, DeliverCommand deliver, int idleTimeoutMs, QObject *parent,
                   int lineDeadlineMs = LineDeadlineMs)
        : QObject(parent)
        , m_socket(socket)
        , m_deliver(std::move(deliver))
        , m_idleTimeoutMs(idleTimeoutMs)
        , m_lineDeadlineMs(lineDeadlineMs)
    {
        socket->setParent(this);
        // What waits beyond this stays with the system, which makes a fast
        // client wait too.
        socket->setReadBufferSize(readBufferBytes);
        m_idle.setSingleShot(true);
        m_idle.start(idleTimeoutMs);
        connect(&m_idle, &QTimer::timeout, this, [this] {
            reply(errorReply(QStringLiteral("no command for %1 s").arg(m_idleTimeoutMs / 1000)));
            hangUp(*m_socket);
        });
        m_lineDeadline.setSingleShot(true);
        connect(&m_lineDeadline, &QTimer::timeout, this, [this] {
            reply(errorReply(QStringLiteral("line not ended within %1 s").arg(m_lineDeadlineMs / 1000.0)));
            hangUp(*m_socket);
        });
        connect(socket, &Socket::readyRead, this, &CommandSession::work);
        connect(socket, &Socket::disconnected, this, &QObject::deleteLater);
    }

    // The service ends: every complete line the client has sent, read or
    // still with the system, is answered "error <reason>" (the one already
    // handed on first gets its own answer), then the client is let go.
    void refuseRest(const QString &reason)
    {
        m_refusal = reason;
        m_idle.stop();
        if (!m_waiting)
            work();
    }

    ~CommandSession() override
    {
        m_socket->flush();
        hangUp(*m_socket);
    }

private:
    static constexpr int linesPerTurn = 64;
    static constexpr qint64 readBufferBytes = 16 * 1024;
    static constexpr qint64 maxUnreadReplyBytes = 64 * 1024;
    // Read at most this much more once the service ends.
    static constexpr qint64 maxRefusedBytes = 256 * 1024;

    static void hangUp(QLocalSocket &socket) { socket.disconnectFromServer(); }
    static void hangUp(QAbstractSocket &socket) { socket.disconnectFromHost(); }

    void work()
    {
        const bool ending = !m_refusal.isEmpty();
        for (int budget = linesPerTurn; (budget > 0 || ending) && !m_waiting; --budget) {
            if (m_lines.isEmpty() && !takeLines()) {
                if (ending)
                    hangUp(*m_socket);
                return;
            }
            answer(m_lines.takeFirst());
        }
        // More to do: let the window and the other clients have a turn first.
        if (!m_waiting)
            QTimer::singleShot(0, this, &CommandSession::work);
    }

    bool takeLines()
    {
        while (m_lines.isEmpty() && (m_socket->bytesAvailable() > 0 || pullRest())) {
            const QByteArray bytes = m_socket->read(readBufferBytes);
            if (m_refusal.isEmpty())
                m_idle.start(m_idleTimeoutMs);
            else
                m_refusedBytes += bytes.size();
            m_lines += m_reader.feed(bytes);
            if (!bytes.isEmpty())
                m_midLine = !isLineEnd(bytes.back());
        }
        // The clock runs only while the rest of a line is the client's to
        // send: not while its earlier lines wait for a slow port.
        if (!m_lines.isEmpty() || !m_midLine)
            m_lineDeadline.stop();
        else if (!m_lineDeadline.isActive())
            m_lineDeadline.start(m_lineDeadlineMs);
        return !m_lines.isEmpty();
    }

    // Once the service ends, what the system still holds for the client.
    bool pullRest()
    {
        return !m_refusal.isEmpty() && m_refusedBytes < maxRefusedBytes && m_socket->waitForReadyRead(0)
               && m_socket->bytesAvailable() > 0;
    }

    static bool isLineEnd(char byte) { return byte == '\n' || byte == '\r' || byte == '\0'; }

    void answer(const CommandLineReader::Line &line)
    {
        if (!m_refusal.isEmpty())
            return reply(errorReply(m_refusal));
        if (!line.error.isEmpty())
            return reply(errorReply(line.error));
        const CommandLineResult parsed = parseCommandLine(line.text);
        if (!parsed.command)
            return reply(errorReply(parsed.error));
        m_waiting = true;
        const CommandFrame frame = toFrame(*parsed.command);
        m_deliver(*parsed.command, [session = QPointer<CommandSession>(this), frame](const SendOutcome &outcome) {
            if (!session)
                return; // the client left meanwhile
            // A client whose lines waited for a slow line was not idle.
            session->m_idle.start(session->m_idleTimeoutMs);
            session->m_waiting = false;
            session->reply(replyLine(frame, outcome));
            session->work();
        });
    }

    void reply(const QByteArray &line)
    {
        m_socket->write(line);
        // Out now: a client that has sent its last line may close its side,
        // and the socket, once it sees that, drops what it still holds.
        m_socket->flush();
        if (m_socket->bytesToWrite() > maxUnreadReplyBytes)
            m_socket->abort();
    }

    Socket *m_socket;
    DeliverCommand m_deliver;
    int m_idleTimeoutMs;
    int m_lineDeadlineMs;
    bool m_midLine = false; // the last bytes read began a line they did not end
    QTimer m_lineDeadline;
    CommandLineReader m_reader;
    QList<CommandLineReader::Line> m_lines;
    bool m_waiting = false;
    QString m_refusal; // set once the service ends
    qint64 m_refusedBytes = 0;
    QTimer m_idle;
};
