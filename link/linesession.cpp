#include "link/linesession.h"
#include "link/bytestream.h"

#include <QPointer>

#include <utility>

namespace {

constexpr qint64 readChunk = 16 * 1024;
constexpr qint64 maxUnreadReplyBytes = 64 * 1024;
// Read at most this much more once the service ends or a command failed.
constexpr qint64 maxRefusedBytes = 256 * 1024;

bool isLineEnd(char byte)
{
    return byte == '\n' || byte == '\r' || byte == '\0';
}

} // namespace

LineSession::LineSession(std::unique_ptr<ByteStream> stream, CommandIntake *intake, const CommandOrigin &origin,
                         int idleTimeoutMs, QObject *parent, int lineDeadlineMs)
    : QObject(parent)
    , m_stream(std::move(stream))
    , m_intake(intake)
    , m_client(CommandIntake::client(origin))
    , m_idleTimeoutMs(idleTimeoutMs)
    , m_lineDeadlineMs(lineDeadlineMs)
{
    m_idle.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        // A client whose lines wait for a slow line is not idle.
        if (m_owed > 0 || !m_lines.isEmpty())
            return m_idle.start(m_idleTimeoutMs);
        say(errorReply(QStringLiteral("no command for %1 s").arg(m_idleTimeoutMs / 1000)));
        end();
    });
    m_idle.start(idleTimeoutMs);
    m_lineDeadline.setSingleShot(true);
    connect(&m_lineDeadline, &QTimer::timeout, this, [this] {
        say(errorReply(QStringLiteral("line not ended within %1 s").arg(m_lineDeadlineMs / 1000.0)));
        end();
    });
    connect(m_stream.get(), &ByteStream::readable, this, &LineSession::work);
    connect(m_stream.get(), &ByteStream::written, this, [this] {
        if (m_owed == 0 && m_answers.isEmpty() && !m_finishing)
            m_idle.start(m_idleTimeoutMs);
    });
    connect(m_stream.get(), &ByteStream::closed, this, [this] {
        m_stream->disconnect(this);
        // The lines already read still go out, answered to nobody (the
        // intake reports them), before the session ends: an answer that
        // meets the closed connection must not drop the commands behind it.
        m_closed = true;
        m_idle.stop();
        m_lineDeadline.stop();
        work();
    });
    connect(intake, &CommandIntake::roomAgain, this, &LineSession::work);
    QMetaObject::invokeMethod(this, &LineSession::work, Qt::QueuedConnection);
}

LineSession::~LineSession()
{
    if (m_stream)
        m_stream->disconnect(this);
}

void LineSession::refuseRest(const QString &reason)
{
    m_refusal = reason;
    m_idle.stop();
    work();
}

void LineSession::turnAway(const QString &reason)
{
    say(errorReply(reason));
    end();
}

void LineSession::work()
{
    if (m_finishing && m_refusal.isEmpty()) {
        writeReady();
        return endIfClosed();
    }
    for (;;) {
        if (m_lines.isEmpty() && !readMore())
            break;
        const bool refusing = !m_refusal.isEmpty() || m_stopped > 0 || !m_lines.first().error.isEmpty();
        if (!refusing && (m_owed >= MaxAnswersOwed || !m_intake->hasRoom(*m_client)))
            return; // the answers, or the intake's roomAgain(), bring us back
        handOn(m_lines.takeFirst());
    }
    if (!m_refusal.isEmpty() || m_inputEnded)
        end();
    writeReady();
    endIfClosed();
}

void LineSession::endIfClosed()
{
    if (m_closed && (m_lines.isEmpty() || m_finishing) && !std::exchange(m_over, true)) {
        emit ended();
        deleteLater();
    }
}

bool LineSession::readMore()
{
    if (m_finishing && m_refusal.isEmpty())
        return false;
    const bool ending = !m_refusal.isEmpty();
    while (m_lines.isEmpty()) {
        if (ending && m_refusedBytes >= maxRefusedBytes)
            return false;
        const QByteArray bytes = m_stream->read(readChunk);
        if (bytes.isEmpty()) {
            if (m_stream->inputEnded() && !m_inputEnded) {
                m_inputEnded = true;
                // A line cut off by the end of the input was never a whole
                // command: nothing of it is sent.
                for (const CommandLineReader::Line &rest : m_reader.finish())
                    m_lines << CommandLineReader::Line{rest.text,
                                                       QStringLiteral("not sent: the input ended before the line did")};
                m_midLine = false;
                m_lineDeadline.stop();
                continue;
            }
            break;
        }
        if (ending)
            m_refusedBytes += bytes.size();
        else
            m_idle.start(m_idleTimeoutMs);
        m_lines += m_reader.feed(bytes);
        m_midLine = !isLineEnd(bytes.back());
    }
    // The clock runs only while the rest of a line is the client's to
    // send: not while its earlier lines wait for a slow port.
    if (!m_lines.isEmpty() || !m_midLine)
        m_lineDeadline.stop();
    else if (!m_lineDeadline.isActive() && !m_inputEnded)
        m_lineDeadline.start(m_lineDeadlineMs);
    return !m_lines.isEmpty();
}

void LineSession::handOn(const CommandLineReader::Line &line)
{
    if (!m_refusal.isEmpty())
        return say(errorReply(m_refusal));
    if (m_stopped > 0) {
        --m_stopped;
        return say(errorReply(CommandIntake::earlierNotSent()));
    }
    if (!line.error.isEmpty())
        return say(errorReply(line.error));
    auto slot = std::make_shared<Slot>();
    m_answers.enqueue(slot);
    ++m_owed;
    m_intake->take(m_client, line.text,
                   [session = QPointer<LineSession>(this), slot](const CommandIntake::Reply &reply) {
                       if (session)
                           session->answered(slot, reply);
                   });
}

void LineSession::answered(const std::shared_ptr<Slot> &slot, const CommandIntake::Reply &reply)
{
    --m_owed;
    slot->line = reply.line();
    slot->ready = true;
    if (reply.command)
        m_proven = true;
    if (reply.command && !reply.outcome.isSent())
        stopFollowers();
    writeReady();
    // More lines may go now; from the event loop, since the intake may be
    // answering from inside a take() of ours.
    QMetaObject::invokeMethod(this, &LineSession::work, Qt::QueuedConnection);
}

// Everything the client sent so far is behind the command that did not go
// out: what is read, and what the system holds for us now.
void LineSession::stopFollowers()
{
    qint64 taken = 0;
    while (taken < maxRefusedBytes) {
        const QByteArray bytes = m_stream->read(readChunk);
        if (bytes.isEmpty())
            break;
        taken += bytes.size();
        m_lines += m_reader.feed(bytes);
        m_midLine = !isLineEnd(bytes.back());
    }
    m_stopped = int(m_lines.size());
}

void LineSession::say(const QByteArray &line)
{
    auto slot = std::make_shared<Slot>();
    slot->line = line;
    slot->ready = true;
    m_answers.enqueue(slot);
    writeReady();
}

void LineSession::writeReady()
{
    while (!m_answers.isEmpty() && m_answers.head()->ready)
        m_stream->write(m_answers.dequeue()->line);
    if (m_stream->unwritten() > maxUnreadReplyBytes)
        return m_stream->abort();
    if (m_finishing && m_answers.isEmpty())
        m_stream->finish();
}

// Nothing more is taken; the connection ends once every answer is written.
void LineSession::end()
{
    m_finishing = true;
    m_idle.stop();
    m_lineDeadline.stop();
    writeReady();
}
