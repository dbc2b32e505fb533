#pragma once

#include "fleet/fleettopics.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

// The players' listing kept up to date, for tunaris-send --list-players
// --watch. On a terminal, where the build has curses: a table with column
// headers, one line per player in the order of their names, redrawn as
// states change, a changed line shown in bold for a few seconds; q or
// Ctrl+C ends it and gives the terminal back as it was. Elsewhere (a pipe, a
// file, a build without curses): the listing's lines, then one line per
// change as it happens, for a script to read; reports of the broker's
// connection go to standard error.
class PlayerTable : public QObject
{
    Q_OBJECT

public:
    static constexpr int HighlightMs = 3000;

    explicit PlayerTable(const QString &broker, QObject *parent = nullptr);
    ~PlayerTable() override;

    // Every player, after each complete reading of the states.
    void show(const QMap<QString, SeenState> &players, bool overflowed);
    void change(const QString &player, const SeenState &seen);
    void remove(const QString &player);
    // The broker's connection, in words, while it is away.
    void status(const QString &text);

signals:
    void quitAsked();

private:
    void draw();
    void readKeys();

    QString m_broker;
    bool m_terminal = false;
    bool m_shown = false;
    bool m_overflowed = false;
    QMap<QString, SeenState> m_players;
    QHash<QString, QElapsedTimer> m_changed;
    QString m_status;
    QTimer m_redraw; // changes that come together are drawn together
    QTimer m_keys;
};
