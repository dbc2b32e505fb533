#pragma once

#include "fleet/playerlock.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QList>
#include <QString>
#include <QTimer>

#include <optional>

// What a bridge handed on towards its player, kept across its restarts so
// that a command the broker hands over again is answered, never sent again.
// One file per player ID in the bridge's state folder, locked while a bridge
// serves that player, so that two on one machine cannot take one ID.
//
// A command is recorded before it is handed on, its reply once known, and,
// once the broker surely has our acknowledgement of it, that it can no
// longer come again. A command handed on without a reply when the bridge
// stopped is answered "unknown" after the restart. The first record is
// written to the system before handed() returns; the others go with the next
// one, or once the event loop is idle, several in one write. Written, a
// record outlives the process, not a power cut: a host that restarts takes
// longer than the broker keeps its session. Kept: the
// last MaxEntries commands of the last KeepSeconds, and the last command
// that went out; the file is rewritten with only those when it has grown.
// The file is read as hostile: what does not have the expected form is
// skipped.
class FleetJournal
{
public:
    static constexpr int MaxEntries = 1024;
    static constexpr int KeepSeconds = 10 * 60;

    struct Entry
    {
        quint64 number = 0;
        QDateTime at;          // handed on, UTC
        QByteArray redelivery; // the keys it is known by again, digests; empty: none
        QByteArray request;
        QByteArray reply;     // empty: none yet
        bool settled = false; // the broker cannot hand it over again
    };
    struct Last
    {
        QString command; // words
        QString bytes;   // "20 ff ff ff"
        QString time;    // UTC
    };

    // $STATE_DIRECTORY for a systemd service (its first folder), else
    // $XDG_STATE_HOME/tunaris-bridge (~/.local/state/tunaris-bridge).
    static QString defaultFolder();
    // A digest of the parts, as keys are kept.
    static QByteArray key(const QList<QByteArray> &parts);

    FleetJournal();
    ~FleetJournal();

    // Locks the player's journal in `folder` (made private when it is made),
    // reads it and rewrites it with what is kept. False with the reason in
    // words, another bridge of this machine holding it among them.
    bool open(const QString &folder, const QString &player, QString *error);

    const QList<Entry> &entries() const { return m_entries; }
    const std::optional<Last> &last() const { return m_last; }

    // Before a command is handed on: its number, or 0 with the reason when it
    // could not be written (then it must not be handed on).
    quint64 handed(const QByteArray &redelivery, const QByteArray &request, bool settled, QString *error);
    // Its reply line; `sent`, for a command that went out.
    void answered(quint64 number, const QByteArray &reply, const std::optional<Last> &sent);
    void settled(const QList<quint64> &numbers);

private:
    // Written to the system now, or with the next record written now.
    bool append(const QByteArray &record, bool now, QString *error);
    bool rewrite(QString *error);

    PlayerLock m_lock;
    QString m_path;
    QFile m_file;
    QList<Entry> m_entries;
    std::optional<Last> m_last;
    quint64 m_next = 1;
    int m_appended = 0; // records since the last rewrite
    QTimer m_flush;     // records that wait for the event loop to be idle
};
