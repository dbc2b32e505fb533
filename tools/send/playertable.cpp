#include "tools/send/playertable.h"
#include "tools/common/toolplumbing.h"

#include <algorithm>
#include <array>

#if defined(TUNARIS_CURSES)
// Functions, not macros: Qt's headers above use some of the same names.
#define NCURSES_NOMACROS
#include <curses.h>
#endif

namespace {

constexpr int redrawMs = 50;
constexpr int keysMs = 200;

struct Column
{
    const char *header;
    int widest; // at most, in characters
};
// The last column takes what is left of the line.
constexpr std::array<Column, 7> columns = {{
    {"PLAYER", 24},
    {"STATE", 10},
    {"SINCE", 20},
    {"LINK", 19},
    {"PORT", 28},
    {"GROUPS", 28},
    {"LAST COMMAND", 0},
}};

#if defined(TUNARIS_CURSES)
QStringList cells(const QString &player, const SeenState &seen)
{
    const ListingRow row = listingRow(player, seen);
    return {row.player, row.state, row.since, row.link, row.port, row.groups, row.last};
}
#endif

} // namespace

PlayerTable::PlayerTable(const QString &broker, QObject *parent)
    : QObject(parent)
    , m_broker(broker)
{
    m_redraw.setSingleShot(true);
    connect(&m_redraw, &QTimer::timeout, this, &PlayerTable::draw);
#if defined(TUNARIS_CURSES)
    if (printsToTerminal() && newterm(nullptr, stdout, stdin)) {
        m_terminal = true;
        cbreak(); // Ctrl+C still stops the program
        noecho();
        nodelay(stdscr, TRUE);
        keypad(stdscr, TRUE);
        curs_set(0);
        connect(&m_keys, &QTimer::timeout, this, &PlayerTable::readKeys);
        m_keys.start(keysMs);
        draw();
    }
#endif
}

PlayerTable::~PlayerTable()
{
#if defined(TUNARIS_CURSES)
    if (m_terminal)
        endwin();
#endif
}

void PlayerTable::show(const QMap<QString, SeenState> &players, bool overflowed)
{
    if (overflowed && !m_overflowed && !m_terminal)
        report(QStringLiteral("the broker keeps more players' states than the %1 shown").arg(players.size()));
    m_overflowed = overflowed;
    m_players = players;
    m_status.clear();
    if (!m_terminal && !m_shown) {
        for (auto player = players.cbegin(); player != players.cend(); ++player)
            print(listingLine(player.key(), player.value()) + QLatin1Char('\n'));
    }
    m_shown = true;
    m_redraw.start(0);
}

void PlayerTable::change(const QString &player, const SeenState &seen)
{
    m_players.insert(player, seen);
    // Before the first complete reading, the listing shows it.
    if (!m_shown)
        return;
    if (!m_terminal)
        return print(listingLine(player, seen) + QLatin1Char('\n'));
    m_changed[player].start();
    if (!m_redraw.isActive())
        m_redraw.start(redrawMs);
}

void PlayerTable::remove(const QString &player)
{
    m_players.remove(player);
    m_changed.remove(player);
    if (!m_shown)
        return;
    if (!m_terminal)
        return print(
            QStringLiteral("%1  (its state was removed from the broker)\n").arg(listingRow(player, {}).player));
    if (!m_redraw.isActive())
        m_redraw.start(redrawMs);
}

void PlayerTable::status(const QString &text)
{
    if (!m_terminal)
        return report(text);
    m_status = text;
    m_redraw.start(0);
}

void PlayerTable::readKeys()
{
#if defined(TUNARIS_CURSES)
    for (int key = getch(); key != ERR; key = getch()) {
        if (key == 'q' || key == 'Q')
            return emit quitAsked();
        if (key == KEY_RESIZE)
            m_redraw.start(0);
    }
#endif
}

void PlayerTable::draw()
{
#if defined(TUNARIS_CURSES)
    if (!m_terminal)
        return;
    erase();
    const int width = COLS;
    const int height = LINES;
    const auto put = [width](int y, int x, const QString &text, int room) {
        room = std::min(room, width - x);
        if (room > 0 && y >= 0)
            mvaddnstr(y, x, text.left(room).toUtf8().constData(), -1);
    };
    int online = 0;
    for (const SeenState &seen : std::as_const(m_players))
        online += seen.state && seen.state->online ? 1 : 0;
    QString title = m_shown ? QStringLiteral("%1: %2 players, %3 online, %4 offline%5 (q ends)")
                                  .arg(m_broker)
                                  .arg(m_players.size())
                                  .arg(online)
                                  .arg(m_players.size() - online)
                                  .arg(m_overflowed ? QStringLiteral(", more than shown") : QString())
                            : QStringLiteral("%1: reading the players' states...").arg(m_broker);
    if (!m_status.isEmpty())
        title = m_status;
    attron(A_BOLD);
    put(0, 0, title, width);
    attroff(A_BOLD);

    // Each column as wide as its widest cell, within its bound.
    std::array<int, columns.size()> widths{};
    for (size_t i = 0; i < columns.size(); ++i)
        widths[i] = int(qstrlen(columns[i].header));
    for (auto player = m_players.cbegin(); player != m_players.cend(); ++player) {
        const QStringList row = cells(player.key(), player.value());
        for (size_t i = 0; i + 1 < columns.size(); ++i)
            widths[i] = std::min(columns[i].widest, std::max(widths[i], int(row.at(int(i)).size())));
    }
    const auto line = [&](int y, const QStringList &texts) {
        int x = 0;
        for (size_t i = 0; i < columns.size() && x < width; ++i) {
            const int room = i + 1 < columns.size() ? widths[i] : width - x;
            put(y, x, texts.value(int(i)), room);
            x += room + 2;
        }
    };
    QStringList headers;
    for (const Column &column : columns)
        headers << QLatin1String(column.header);
    attron(A_UNDERLINE);
    line(1, headers);
    attroff(A_UNDERLINE);

    const int rows = int(m_players.size());
    const int room = height - 2;
    const int shown = rows > room ? std::max(0, room - 1) : rows;
    int y = 2;
    for (auto player = m_players.cbegin(); player != m_players.cend() && y - 2 < shown; ++player, ++y) {
        const auto changed = m_changed.constFind(player.key());
        const bool recent = changed != m_changed.cend() && !changed->hasExpired(HighlightMs);
        if (recent)
            attron(A_BOLD);
        line(y, cells(player.key(), player.value()));
        if (recent)
            attroff(A_BOLD);
    }
    if (shown < rows)
        put(height - 1, 0, QStringLiteral("... %1 more players: a taller terminal shows them").arg(rows - shown),
            width);
    refresh();
    // Bold fades: drawn again when the newest highlight has expired.
    qint64 fade = -1;
    m_changed.removeIf([](const auto &entry) { return entry.value().hasExpired(HighlightMs); });
    for (const QElapsedTimer &since : std::as_const(m_changed))
        fade = std::max(fade, HighlightMs - since.elapsed());
    if (fade >= 0 && !m_redraw.isActive())
        m_redraw.start(int(fade) + 10);
#endif
}
