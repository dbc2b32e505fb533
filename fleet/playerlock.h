#pragma once

#include <QString>

// One bridge of this machine per player: a lock on a file that the system
// lets go of when its holder ends, however it ends (a crash, a kill, a power
// loss), so no leftover file and no process number that came round again can
// keep a restarted bridge out. The holder writes its process number and
// program into the file, for the words of whoever is refused.
class PlayerLock
{
public:
    PlayerLock() = default;
    ~PlayerLock();
    PlayerLock(const PlayerLock &) = delete;
    PlayerLock &operator=(const PlayerLock &) = delete;

    // False with the holder as the file names it ("process 1234
    // (tunaris-bridge)"), or empty when it cannot be read, in `holder`; or
    // with the system's reason in `error` when the file cannot be used.
    bool lock(const QString &path, QString *holder, QString *error);

private:
#if defined(Q_OS_WIN)
    void *m_handle = nullptr;
#else
    int m_descriptor = -1;
#endif
};
