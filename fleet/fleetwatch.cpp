#include "fleet/fleetwatch.h"
#include "fleet/brokersettings.h"
#include "fleet/fleetsender.h"
#include "fleet/statereader.h"

#include <QTimer>

#include <cstdlib>

namespace {

// The broker counts what is left of a state's expiry in whole seconds: the
// same state read again may seem published a second or two later.
constexpr qint64 publishedSlackSeconds = 3;

bool same(const SeenState &a, const SeenState &b)
{
    if (a.propertiesKept != b.propertiesKept || a.state.has_value() != b.state.has_value())
        return false;
    if (a.state && a.state->toJson() != b.state->toJson())
        return false;
    if (a.published.isValid() != b.published.isValid())
        return false;
    return !a.published.isValid() || std::abs(a.published.secsTo(b.published)) <= publishedSlackSeconds;
}

} // namespace

FleetWatch::FleetWatch(FleetSender *sender, QObject *parent)
    : QObject(parent)
    , m_sender(sender)
{
    connect(m_sender, &FleetSender::ready, this, &FleetWatch::read);
    connect(m_sender, &FleetSender::unavailable, this, [this] {
        m_listed = false;
        delete m_reader;
    });
}

FleetWatch::~FleetWatch()
{
    delete m_reader;
}

void FleetWatch::read()
{
    delete m_reader;
    m_listed = false;
    m_reader = new StateReader(m_sender->client(), FleetTopics::everyState(), this, StateReader::Mode::Watch);
    connect(m_reader, &StateReader::finished, this, [this](const QMap<QString, SeenState> &states) {
        const QStringList known = m_players.keys();
        for (const QString &player : known) {
            if (!states.contains(player))
                drop(player);
        }
        for (auto state = states.cbegin(); state != states.cend(); ++state)
            take(state.key(), state.value());
        m_listed = true;
        emit listed();
    });
    connect(m_reader, &StateReader::changed, this, &FleetWatch::take);
    connect(m_reader, &StateReader::removed, this, &FleetWatch::drop);
    connect(m_reader, &StateReader::failed, this, [this, reader = m_reader](const QString &reason) {
        emit failed(reason);
        // Unless a new connection began another reading meanwhile.
        QTimer::singleShot(ReadAgainMs, this, [this, reader] {
            if (reader && m_reader == reader && m_sender->isReady())
                read();
        });
    });
    m_reader->start();
}

void FleetWatch::take(const QString &player, const SeenState &seen)
{
    if (!isFleetName(player))
        return;
    const auto known = m_players.find(player);
    if (known == m_players.end()) {
        if (m_players.size() >= MaxPlayers) {
            m_overflowed = true;
            return;
        }
        m_players.insert(player, seen);
    } else {
        if (same(*known, seen))
            return;
        *known = seen;
    }
    emit changed(player);
}

void FleetWatch::drop(const QString &player)
{
    if (m_players.remove(player) > 0)
        emit removed(player);
}
