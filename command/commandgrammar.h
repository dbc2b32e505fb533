#pragma once

#include "command/playercommand.h"

#include <QList>
#include <QString>
#include <QStringList>

// The words of the command language: "play", "folder 300 --seq --reset",
// "volume xlr -20". Everything that reads commands as text reads them here:
// tunaris-send's arguments and the lines other programs hand the port's
// owner. Words are matched without regard to case.

struct ParsedCommands
{
    QList<PlayerCommand> commands; // in the order written
    QString error;                 // the first fault, in words; empty when there is none
};

// Reads the words from left to right; each command word takes the words
// that follow it. Any fault makes the whole text unusable: `commands` is
// then empty, so nothing of it can be sent.
ParsedCommands parseCommandWords(const QStringList &words);

// The words that parseCommandWords() reads back into this command, in their
// shortest form: "folder 300 --seq --reset".
QString commandWords(const PlayerCommand &command);

// "play", "pause", ...; "all", "xlr", "rca": for help and error texts.
QStringList transportWords();
QStringList channelWords();

// "a, b or c": how help and error texts list the accepted words.
QString alternatives(const QStringList &words);
