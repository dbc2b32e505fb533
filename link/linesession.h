#pragma once

#include "command/commandline.h"
#include "link/commandintake.h"

#include <QObject>
#include <QQueue>
#include <QTimer>

#include <memory>

class ByteStream;

// One client of a door that reads command lines from a stream: the port's
// endpoint or the bridge's TCP lines. Each complete line is handed to the
// intake and gets exactly one answer line, in the order of the lines,
// written before the connection is closed: a client that ends its sending
// after its last line still reads every answer. One that goes away leaves
// its commands answered to nobody; the intake still reports them.
//
// A client may send its lines ahead of the answers; at most
// MaxAnswersOwed of them are handed on at a time, and while the intake has
// no room the session stops reading, so a fast client only waits. When a
// command does not go out, the lines the client had already sent behind it
// (read, or waiting with the system) are not sent either, so a run of
// commands never goes on with a gap in it; what it sends after that is
// taken as usual.
//
// A client that sends nothing for `idleTimeoutMs` is told so and let go, as
// is one whose line does not end within `lineDeadlineMs`, or one that
// leaves its answers unread.
class LineSession : public QObject
{
    Q_OBJECT

public:
    // Programs send a line at once; people type it before sending it.
    static constexpr int LineDeadlineMs = 10 * 1000;
    static constexpr int MaxAnswersOwed = 16;

    LineSession(std::unique_ptr<ByteStream> stream, CommandIntake *intake, const CommandOrigin &origin,
                int idleTimeoutMs, QObject *parent = nullptr, int lineDeadlineMs = LineDeadlineMs);
    ~LineSession() override;

    // The service ends: every complete line the client has sent, read or
    // still with the system, is answered "error <reason>" (those already
    // handed on get their own answers first), then the client is let go.
    void refuseRest(const QString &reason);
    // Tells the client why in one line and lets it go, before it sent one.
    void turnAway(const QString &reason);
    // Whether the client has sent a complete line that was a command: it
    // speaks the language, rather than only holding a connection.
    bool hasProvenItself() const { return m_proven; }
    bool isOwed() const { return m_owed > 0; }

signals:
    // The connection is over; the session deletes itself.
    void ended();

private:
    struct Slot
    {
        QByteArray line;
        bool ready = false;
    };

    void work();
    bool readMore();
    void handOn(const CommandLineReader::Line &line);
    void answered(const std::shared_ptr<Slot> &slot, const CommandIntake::Reply &reply);
    void stopFollowers();
    void say(const QByteArray &line);
    void writeReady();
    void end();
    void endIfClosed();

    std::unique_ptr<ByteStream> m_stream;
    CommandIntake *m_intake;
    std::shared_ptr<CommandIntake::Client> m_client;
    int m_idleTimeoutMs;
    int m_lineDeadlineMs;
    CommandLineReader m_reader;
    QList<CommandLineReader::Line> m_lines; // read, not yet handed on
    int m_stopped = 0;                      // of those, the first ones sent behind a command that did not go out
    QQueue<std::shared_ptr<Slot>> m_answers;
    int m_owed = 0; // lines handed to the intake and not answered yet
    bool m_midLine = false;
    bool m_inputEnded = false;
    bool m_finishing = false; // nothing more is taken from the client
    bool m_proven = false;
    bool m_closed = false; // the connection is over; what was read still goes
    bool m_over = false;   // ended() was emitted
    QString m_refusal;
    qint64 m_refusedBytes = 0;
    QTimer m_idle;
    QTimer m_lineDeadline;
};
