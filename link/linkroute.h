#pragma once

#include "command/commandline.h"

#include <QObject>
#include <QString>

// One way to the player (playerlink.h): the port itself, the program that
// holds it, or a serial device server. It takes a command only while it
// has room, and answers each once, with the delivery contract's meaning.
class LinkRoute : public QObject
{
    Q_OBJECT

public:
    // Commands it takes now without making one wait on another.
    virtual int room() = 0;
    // Asked when a command waits for room: roomChanged() tells when it comes.
    virtual void awaitRoom() {}
    // Only while room() > 0; `done` may be called before this returns.
    // `words`: the command in the grammar's words, for a way that speaks
    // them; empty for a frame that is no command of the grammar.
    virtual void send(const CommandFrame &frame, const QString &words, DeliveryDone done) = 0;
    // The commands taken since the last flush go now, together; their
    // answers may come before this returns.
    virtual void flush() {}

signals:
    void roomChanged();
    // The way is gone (the line failed, the owner left), for `reason`; every
    // command it had taken has been answered.
    void failed(const QString &reason);
};
