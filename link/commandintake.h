#pragma once

#include "command/commandline.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class LinkRoute;

// Who sent a command, for the answers' reports and the journal.
struct CommandOrigin
{
    QString door;   // "tcp", "udp", "web", "broker", "endpoint", "window", "command line"
    QString client; // "192.168.1.7:50122", "process 1234 (tunaris-send)"; may be empty
    // What the per-source limit counts against: a network client's address
    // (an IPv6 client's /64); empty for this user's own programs and the
    // window, which are not limited.
    QString source;

    QString text() const; // "tcp 192.168.1.7:50122"
};

// Every command, whichever door it came through (the console's endpoint,
// TCP lines, datagrams, the web remote, a broker, the window), comes in
// here: it is parsed with the one grammar, admitted, waits in the one queue
// and goes through the one link (playerlink.h, or any way to the player:
// linkroute.h), and is answered exactly
// once, in the delivery contract's words (commandline.h). A door keeps only
// its transport.
//
// Admission: at most MaxWaiting commands of the doors wait at once, and at
// most MaxWaitingPerSource of them from one source; a stream door stops
// reading while there is no room (its client then waits, which is only the
// line's pace), a message door is refused in words. The window is always
// admitted: a person at it is not a flood.
//
// One deadline policy: a command goes on the line only while its life
// lasts (CommandLife, judged right before the link takes it) and after at
// most RoomWithinMs in the queue; else it is not sent, and said so.
//
// Order: a client's commands go in the order taken; once one of them did not
// go out (not sent, or its outcome unknown), those of its commands still
// waiting here are not sent either, so a run of commands never goes on
// with a gap in it. A refused text (not a command) stops nothing.
class CommandIntake : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxWaiting = 64;
    static constexpr int MaxWaitingPerSource = 16;
    // At 9600 baud a full 4 KiB system buffer drains in 4.3 s.
    static constexpr int RoomWithinMs = 6000;

    struct Reply
    {
        SendOutcome outcome;
        std::optional<PlayerCommand> command; // none when the text or frame was not one
        std::optional<CommandFrame> frame;    // none when the text was not a command
        // "ok 20 ff ff ff", "error <reason>", "unknown <reason>", with its line end.
        QByteArray line() const;
    };
    using Answer = std::function<void(const Reply &)>;

    // One client: a connection, a datagram, a page's request, a message.
    struct Client
    {
        CommandOrigin origin;
        QString unit;    // what holds one command: "line", "datagram", "request", "message"
        int waiting = 0; // its commands taken and not yet answered
    };
    static std::shared_ptr<Client> client(const CommandOrigin &origin, const QString &unit = QStringLiteral("line"));

    explicit CommandIntake(LinkRoute *link, QObject *parent = nullptr);
    ~CommandIntake() override;

    // Whether a command of this client would be admitted now; when not,
    // roomAgain() tells when there may be.
    bool hasRoom(const Client &client) const;
    // One command as text, a line or a whole message (one line end allowed):
    // answered once, maybe before this returns.
    void take(const std::shared_ptr<Client> &client, const QByteArray &text, Answer answer,
              const CommandLife &life = {});
    // A command already made (the window's buttons, the command line's words).
    void take(const std::shared_ptr<Client> &client, const PlayerCommand &command, Answer answer,
              const CommandLife &life = {});
    // Four bytes as they are, which need not be a command of the grammar (the
    // window's own frames); on a way that takes words only, such a frame is
    // not sent.
    void take(const std::shared_ptr<Client> &client, const CommandFrame &frame, Answer answer);
    int waiting() const { return int(m_queue.size()); }

    // The words a refused follower of a command that did not go out gets.
    static QString earlierNotSent();

signals:
    // Every command taken, once answered: for the echo, the journal and what
    // is known of the player. `text` is what the client sent.
    void handled(const CommandOrigin &origin, const QByteArray &text, const CommandIntake::Reply &reply);
    // Room again after a door was told there was none.
    void roomAgain();

private:
    struct Item
    {
        std::shared_ptr<Client> client;
        std::optional<PlayerCommand> command;
        CommandFrame frame;
        QByteArray text;
        CommandLife life;
        Answer answer;
        QElapsedTimer queued;
    };

    void admit(Item item);
    void pump();
    void finish(Item &item, const SendOutcome &outcome);
    void answer(const std::shared_ptr<Client> &client, const QByteArray &text, Answer &answer, const Reply &reply);
    void stopFollowers(const Client *client);
    void armExpiry();
    bool counted(const Client &client) const;

    LinkRoute *m_link;
    QQueue<Item> m_queue;
    int m_counted = 0; // of the doors, not the window's
    QHash<QString, int> m_perSource;
    mutable bool m_someoneWaits = false; // a door was told there was no room
    bool m_roomFreed = false;
    bool m_pumping = false;
    bool m_pumpAgain = false;
    QTimer m_expiry; // the head's bound, while the link has no room
};
