#include "link/commandintake.h"
#include "command/commanddecoder.h"
#include "command/commandgrammar.h"
#include "link/linkroute.h"

#include <algorithm>

QString CommandOrigin::text() const
{
    return client.isEmpty() ? door : door + QLatin1Char(' ') + client;
}

QByteArray CommandIntake::Reply::line() const
{
    return frame ? replyLine(*frame, outcome) : errorReply(outcome.reason);
}

std::shared_ptr<CommandIntake::Client> CommandIntake::client(const CommandOrigin &origin, const QString &unit)
{
    auto made = std::make_shared<Client>();
    made->origin = origin;
    made->unit = unit;
    return made;
}

QString CommandIntake::earlierNotSent()
{
    return QStringLiteral("not sent: an earlier command from this client did not go out");
}

CommandIntake::CommandIntake(LinkRoute *link, QObject *parent)
    : QObject(parent)
    , m_link(link)
{
    m_expiry.setSingleShot(true);
    connect(&m_expiry, &QTimer::timeout, this, &CommandIntake::pump);
    connect(link, &LinkRoute::roomChanged, this, &CommandIntake::pump);
}

// What still waits is answered: nothing taken goes without a word.
CommandIntake::~CommandIntake()
{
    while (!m_queue.isEmpty()) {
        Item item = m_queue.dequeue();
        finish(item, SendOutcome::notSent(QStringLiteral("not sent: the program is ending")));
    }
}

// A person at the window, and the one client of a command line, are not
// a flood to be bounded.
bool CommandIntake::counted(const Client &client) const
{
    return client.origin.door != QLatin1String("window") && client.origin.door != QLatin1String("command line");
}

bool CommandIntake::hasRoom(const Client &client) const
{
    if (!counted(client))
        return true;
    const bool room =
        m_counted < MaxWaiting
        && (client.origin.source.isEmpty() || m_perSource.value(client.origin.source) < MaxWaitingPerSource);
    if (!room)
        m_someoneWaits = true;
    return room;
}

void CommandIntake::take(const std::shared_ptr<Client> &client, const QByteArray &text, Answer answer,
                         const CommandLife &life)
{
    const CommandLineResult parsed = parseCommandMessage(text, client->unit);
    if (!parsed.command)
        return this->answer(client, text, answer,
                            Reply{SendOutcome::notSent(parsed.error), std::nullopt, std::nullopt});
    admit(Item{client, parsed.command, toFrame(*parsed.command), text, life, std::move(answer), {}});
}

void CommandIntake::take(const std::shared_ptr<Client> &client, const PlayerCommand &command, Answer answer,
                         const CommandLife &life)
{
    admit(Item{client, command, toFrame(command), QByteArray(), life, std::move(answer), {}});
}

void CommandIntake::take(const std::shared_ptr<Client> &client, const CommandFrame &frame, Answer answer)
{
    admit(Item{client, decodeFrame(frame), frame, QByteArray(), {}, std::move(answer), {}});
}

void CommandIntake::admit(Item item)
{
    Client &client = *item.client;
    if (!hasRoom(client)) {
        const bool ownShare = m_counted < MaxWaiting;
        const QString reason = ownShare
                                   ? QStringLiteral("not sent: %1 commands from %2 already wait for the line")
                                         .arg(MaxWaitingPerSource)
                                         .arg(client.origin.source)
                                   : QStringLiteral("not sent: %1 commands already wait for the line").arg(MaxWaiting);
        return answer(item.client, item.text, item.answer,
                      Reply{SendOutcome::notSent(reason), item.command, item.frame});
    }
    ++client.waiting;
    if (counted(client)) {
        ++m_counted;
        if (!client.origin.source.isEmpty())
            ++m_perSource[client.origin.source];
    }
    item.queued.start();
    m_queue.enqueue(std::move(item));
    pump();
}

// Hands commands to the link while it has room. A link may answer before
// send() returns, and the answer's receiver may take another command at
// once: that one waits for this loop rather than starting another.
void CommandIntake::pump()
{
    if (m_pumping) {
        m_pumpAgain = true;
        return;
    }
    m_pumping = true;
    do {
        m_pumpAgain = false;
        while (!m_queue.isEmpty()) {
            Item &head = m_queue.head();
            if (head.life.expired()) {
                Item item = m_queue.dequeue();
                finish(item, SendOutcome::notSent(item.life.expiredReason()));
                continue;
            }
            if (head.queued.hasExpired(RoomWithinMs)) {
                Item item = m_queue.dequeue();
                finish(item, SendOutcome::notSent(
                                 QStringLiteral("not sent: the line had no room for %1 s").arg(RoomWithinMs / 1000)));
                continue;
            }
            if (m_link->room() <= 0) {
                m_link->awaitRoom();
                break;
            }
            auto item = std::make_shared<Item>(m_queue.dequeue());
            const QString words = item->command ? commandWords(*item->command) : QString();
            m_link->send(item->frame, words, [this, item](const SendOutcome &outcome) {
                finish(*item, outcome);
                pump();
            });
        }
        // What was taken in this loop leaves together.
        m_link->flush();
    } while (m_pumpAgain);
    m_pumping = false;
    armExpiry();
    if (m_someoneWaits && std::exchange(m_roomFreed, false)) {
        m_someoneWaits = false;
        emit roomAgain();
    }
}

// While the link has no room, the head's bounds are watched: a command that
// runs out of time is answered then, not when room comes.
void CommandIntake::armExpiry()
{
    if (m_queue.isEmpty()) {
        m_expiry.stop();
        return;
    }
    const Item &head = m_queue.head();
    qint64 due = RoomWithinMs - head.queued.elapsed();
    if (!head.life.deadline.isForever())
        due = std::min(due, head.life.deadline.remainingTime());
    if (head.life.notAfter.isValid())
        due = std::min(due, QDateTime::currentDateTimeUtc().msecsTo(head.life.notAfter));
    m_expiry.start(int(std::clamp<qint64>(due + 1, 0, RoomWithinMs)));
}

void CommandIntake::finish(Item &item, const SendOutcome &outcome)
{
    Client &client = *item.client;
    --client.waiting;
    if (counted(client)) {
        m_roomFreed = true;
        --m_counted;
        if (!client.origin.source.isEmpty() && --m_perSource[client.origin.source] <= 0)
            m_perSource.remove(client.origin.source);
    }
    answer(item.client, item.text, item.answer, Reply{outcome, item.command, item.frame});
    if (!outcome.isSent())
        stopFollowers(&client);
}

void CommandIntake::stopFollowers(const Client *client)
{
    if (client->waiting == 0)
        return;
    QList<Item> stopped;
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (it->client.get() == client) {
            stopped << std::move(*it);
            it = m_queue.erase(it);
        } else {
            ++it;
        }
    }
    for (Item &item : stopped)
        finish(item, SendOutcome::notSent(earlierNotSent()));
}

void CommandIntake::answer(const std::shared_ptr<Client> &client, const QByteArray &text, Answer &answer,
                           const Reply &reply)
{
    const CommandOrigin origin = client->origin;
    const QByteArray words = text.isEmpty() && reply.command ? commandWords(*reply.command).toUtf8() : text;
    if (answer)
        std::exchange(answer, nullptr)(reply);
    emit handled(origin, words.trimmed(), reply);
}
