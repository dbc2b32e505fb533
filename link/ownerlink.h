#pragma once

#include "link/linkroute.h"

#include <QElapsedTimer>
#include <QQueue>
#include <QTimer>

#include <memory>

class QLocalSocket;

// The way to the player through the program that holds its port (the
// console, or a bridge), at that program's endpoint (portendpoint.h): each
// command goes as a line in the grammar's words, and the owner's answer
// line is its outcome. Commands go in runs written at once, the next run
// only when every command of this one is answered, so that the owner, which
// stops a client's commands after one that did not go out, has every one of
// them when it decides. A run starts with one command and grows eightfold
// after each run that all went out, up to `window`: an owner that stopped
// answering holds as few commands as can be. A command the owner took and did not
// answer (it stopped, or died) is unknown, and never sent again by us.
class OwnerLink : public LinkRoute
{
    Q_OBJECT

public:
    // The owner answers every command within this, however slow its line.
    static constexpr int AnswerWithinMs = 15000;

    // Takes a socket connected to the owner (connectToOwner()).
    OwnerLink(std::unique_ptr<QLocalSocket> owner, int window, QObject *parent = nullptr);
    ~OwnerLink() override;

    // Whether the owner can still take a command: one that went away, said
    // something unasked, or stayed quiet so long that it may have dropped the
    // connection is let go of before a line is written to it.
    bool usable();

    int room() override;
    void send(const CommandFrame &frame, const QString &words, DeliveryDone done) override;

private:
    struct Sent
    {
        CommandFrame frame;
        DeliveryDone done;
    };

    void answered();
    void left();
    void giveUp(const SendOutcome &outcome, const QString &reason);

    std::unique_ptr<QLocalSocket> m_owner;
    int m_window;
    int m_run = 1; // commands in the next run
    QQueue<Sent> m_sent;
    QTimer m_answerTimeout;
    QElapsedTimer m_quiet;
    bool m_flushing = false;
    bool m_runFailed = false;
};
