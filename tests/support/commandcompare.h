#pragma once

#include "command/playercommand.h"

#include <QList>
#include <QMetaType>
#include <QTest>

Q_DECLARE_METATYPE(PlayerCommand)
Q_DECLARE_METATYPE(QList<PlayerCommand>)

// Lets QCOMPARE show a command the way the monitor describes it.
inline char *toString(const PlayerCommand &command)
{
    return qstrdup(qPrintable(describe(command)));
}
