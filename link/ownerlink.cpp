#include "link/ownerlink.h"
#include "link/portendpoint.h"

#include <QLocalSocket>
#include <QSignalBlocker>

#include <algorithm>

namespace {

// Well inside the time after which an endpoint drops a quiet client.
constexpr int quietMs = PortEndpoint::IdleTimeoutMs * 2 / 3;
// An owner that answered a run whole is there: the next may be longer.
constexpr int runGrowth = 8;

} // namespace

OwnerLink::OwnerLink(std::unique_ptr<QLocalSocket> owner, int window, QObject *parent)
    : m_owner(std::move(owner))
    , m_window(window)
{
    setParent(parent);
    m_answerTimeout.setSingleShot(true);
    connect(&m_answerTimeout, &QTimer::timeout, this, [this] {
        giveUp(SendOutcome::unknown(
                   QStringLiteral("the port's owner did not answer within %1 s").arg(AnswerWithinMs / 1000)),
               QStringLiteral("the port's owner stopped answering"));
    });
    connect(m_owner.get(), &QLocalSocket::readyRead, this, &OwnerLink::answered);
    connect(m_owner.get(), &QLocalSocket::disconnected, this, &OwnerLink::left);
    m_quiet.start();
}

OwnerLink::~OwnerLink()
{
    m_owner->disconnect(this);
    giveUp(SendOutcome::unknown(QStringLiteral("the connection to the port's owner was let go")), QString());
}

bool OwnerLink::usable()
{
    if (!m_sent.isEmpty())
        return true;
    if (m_quiet.hasExpired(quietMs))
        return false;
    const QSignalBlocker quiet(m_owner.get());
    m_owner->waitForReadyRead(0);
    return m_owner->state() == QLocalSocket::ConnectedState && m_owner->bytesAvailable() == 0;
}

// A run of commands is filled within one turn and written at once; the next
// run waits for every answer to this one.
int OwnerLink::room()
{
    if (m_owner->state() != QLocalSocket::ConnectedState || (!m_sent.isEmpty() && !m_flushing))
        return 0;
    return int(std::min(m_window, m_run) - m_sent.size());
}

void OwnerLink::send(const CommandFrame &frame, const QString &words, DeliveryDone done)
{
    // The owner takes words only; a frame without them never reaches it.
    if (words.isEmpty())
        return done(SendOutcome::notSent(QStringLiteral("not sent: the port's owner takes commands only")));
    m_sent.enqueue({frame, std::move(done)});
    m_owner->write(words.toLatin1() + '\n');
    m_quiet.start();
    if (!m_answerTimeout.isActive())
        m_answerTimeout.start(AnswerWithinMs);
    // A full run goes at once; one still filling goes in one write at the
    // end of this turn.
    if (int(m_sent.size()) >= std::min(m_window, m_run)) {
        m_flushing = false;
        m_owner->flush();
    } else if (!std::exchange(m_flushing, true)) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (std::exchange(m_flushing, false))
                    m_owner->flush();
            },
            Qt::QueuedConnection);
    }
}

void OwnerLink::answered()
{
    while (!m_sent.isEmpty() && m_owner->canReadLine()) {
        const QByteArray reply = m_owner->readLine(MaxCommandLineLength + 1);
        Sent sent = m_sent.dequeue();
        m_quiet.start();
        if (m_sent.isEmpty())
            m_answerTimeout.stop();
        else
            m_answerTimeout.start(AnswerWithinMs);
        const SendOutcome outcome = outcomeOfReply(reply, sent.frame);
        m_runFailed = m_runFailed || !outcome.isSent();
        if (m_sent.isEmpty()) {
            m_run = std::exchange(m_runFailed, false) ? 1 : std::min(m_run * runGrowth, m_window);
        }
        sent.done(outcome);
    }
    if (m_sent.isEmpty())
        emit roomChanged();
}

// An owner that closes its port answers every line it took, "error" when it
// did not send it; one that leaves without an answer died, maybe after
// sending.
void OwnerLink::left()
{
    answered();
    giveUp(SendOutcome::unknown(QStringLiteral("the port's owner closed the connection without answering")),
           QStringLiteral("the port's owner closed the connection"));
}

void OwnerLink::giveUp(const SendOutcome &outcome, const QString &reason)
{
    m_answerTimeout.stop();
    QQueue<Sent> unanswered = std::exchange(m_sent, {});
    m_owner->disconnect(this);
    m_owner->abort();
    for (Sent &sent : unanswered)
        sent.done(outcome);
    if (!reason.isEmpty())
        emit failed(reason);
}
