#include "fleet/fleettopics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QByteArray root = "tunaris/";
// A state is a few hundred bytes; a listing shows no more of each text than this.
constexpr int maxShownText = 80;
constexpr int maxShownGroups = 16;
constexpr qsizetype maxStateBytes = 16 * 1024;

// Control characters could move a terminal's cursor or change its colours.
QString shown(const QString &text)
{
    QString safe;
    for (const QChar c : text.left(maxShownText))
        safe += c.isPrint() ? c : QChar(u'?');
    return text.size() > maxShownText ? safe + QStringLiteral("...") : safe;
}

QString textOf(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString().left(4 * maxShownText) : QString();
}

} // namespace

namespace FleetTopics {

QByteArray playerCommand(const QString &player)
{
    return root + "players/" + player.toUtf8() + "/command";
}

QByteArray groupCommand(const QString &group)
{
    return root + "groups/" + group.toUtf8() + "/command";
}

QByteArray playerReply(const QString &player)
{
    return root + "players/" + player.toUtf8() + "/reply";
}

QByteArray playerState(const QString &player)
{
    return root + "players/" + player.toUtf8() + "/state";
}

QByteArray everyState()
{
    return root + "players/+/state";
}

QString playerOfState(const QByteArray &topic)
{
    const QByteArray prefix = root + "players/";
    const QByteArray suffix = "/state";
    if (!topic.startsWith(prefix) || !topic.endsWith(suffix) || topic.size() <= prefix.size() + suffix.size())
        return QString();
    const QByteArray player = topic.mid(prefix.size(), topic.size() - prefix.size() - suffix.size());
    return player.contains('/') ? QString() : QString::fromUtf8(player);
}

} // namespace FleetTopics

QByteArray PlayerState::toJson() const
{
    QJsonObject state{{QStringLiteral("online"), online},
                      {QStringLiteral("host"), host},
                      {QStringLiteral("port"), port},
                      {QStringLiteral("groups"), QJsonArray::fromStringList(groups)}};
    if (online) {
        state.insert(QStringLiteral("link"), link);
        if (!since.isEmpty())
            state.insert(QStringLiteral("since"), since);
    }
    if (!lastBytes.isEmpty()) {
        state.insert(QStringLiteral("last"), QJsonObject{{QStringLiteral("command"), lastCommand},
                                                         {QStringLiteral("bytes"), lastBytes},
                                                         {QStringLiteral("time"), lastTime}});
    }
    if (!answerReply.isEmpty()) {
        state.insert(QStringLiteral("answer"), QJsonObject{{QStringLiteral("command"), answerCommand},
                                                           {QStringLiteral("reply"), answerReply},
                                                           {QStringLiteral("time"), answerTime}});
    }
    if (online && !levels.isEmpty())
        state.insert(QStringLiteral("levels"), levels);
    return QJsonDocument(state).toJson(QJsonDocument::Compact);
}

std::optional<PlayerState> PlayerState::fromJson(const QByteArray &json)
{
    if (json.size() > maxStateBytes)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject() || !document.object().value(QLatin1String("online")).isBool())
        return std::nullopt;
    const QJsonObject object = document.object();
    PlayerState state;
    state.online = object.value(QLatin1String("online")).toBool();
    state.host = textOf(object, "host");
    state.port = textOf(object, "port");
    state.link = textOf(object, "link");
    state.since = textOf(object, "since");
    const QJsonArray groups = object.value(QLatin1String("groups")).toArray();
    for (const QJsonValue &group : groups) {
        if (group.isString() && state.groups.size() < maxShownGroups)
            state.groups << group.toString().left(maxShownText);
    }
    const QJsonObject last = object.value(QLatin1String("last")).toObject();
    state.lastCommand = textOf(last, "command");
    state.lastBytes = textOf(last, "bytes");
    state.lastTime = textOf(last, "time");
    const QJsonObject answer = object.value(QLatin1String("answer")).toObject();
    state.answerCommand = textOf(answer, "command");
    state.answerReply = textOf(answer, "reply");
    state.answerTime = textOf(answer, "time");
    return state;
}

namespace {

QString offlineWords(const SeenState &seen)
{
    return seen.published.isValid()
               ? QStringLiteral("offline since %1").arg(seen.published.toUTC().toString(Qt::ISODate))
               : QStringLiteral("offline");
}

} // namespace

QString listingLine(const QString &player, const SeenState &seen)
{
    const std::optional<PlayerState> &state = seen.state;
    if (!state)
        return QStringLiteral("%1  (its state is not one this program can read)").arg(shown(player));
    QStringList parts = {shown(player), state->online ? QStringLiteral("online") : offlineWords(seen),
                         shown(state->port)};
    if (state->online)
        parts << shown(state->link);
    QStringList groups;
    for (const QString &group : state->groups)
        groups << shown(group);
    parts << QStringLiteral("groups: %1")
                 .arg(groups.isEmpty() ? QStringLiteral("none") : groups.join(QLatin1String(", ")));
    if (!state->lastBytes.isEmpty()) {
        parts << QStringLiteral("last: %1 (%2) at %3")
                     .arg(shown(state->lastCommand), shown(state->lastBytes), shown(state->lastTime));
    }
    return parts.join(QLatin1String("  "));
}

namespace {

// "2025-05-01T12:00:00.250Z" as a table shows it: "2025-05-01 12:00:00Z".
QString shownTime(const QString &utc)
{
    const QDateTime time = QDateTime::fromString(utc, Qt::ISODateWithMs);
    return time.isValid() && time.timeSpec() == Qt::UTC ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss'Z'"))
                                                        : shown(utc);
}

} // namespace

ListingRow listingRow(const QString &player, const SeenState &seen)
{
    ListingRow row;
    row.player = shown(player);
    const std::optional<PlayerState> &state = seen.state;
    if (!state) {
        row.state = QStringLiteral("unreadable");
        return row;
    }
    row.state = state->online ? QStringLiteral("online") : QStringLiteral("offline");
    if (state->online)
        row.since = shownTime(state->since);
    else if (seen.published.isValid())
        row.since = seen.published.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss'Z'"));
    row.link = state->online ? shown(state->link) : QString();
    row.port = shown(state->port);
    QStringList groups;
    for (const QString &group : state->groups)
        groups << shown(group);
    row.groups = groups.join(QLatin1String(", "));
    if (!state->lastBytes.isEmpty())
        row.last = QStringLiteral("%1 (%2) at %3")
                       .arg(shown(state->lastCommand), shown(state->lastBytes), shownTime(state->lastTime));
    return row;
}

QList<Addressee> addressees(const QMap<QString, SeenState> &states, const QString &player, const QString &group,
                            QString *refusal)
{
    QStringList named;
    if (group.isEmpty()) {
        if (!states.contains(player)) {
            *refusal = QStringLiteral("no player %1 is known to the broker (it keeps no state of it)").arg(player);
            return {};
        }
        named << player;
    } else {
        for (auto seen = states.cbegin(); seen != states.cend(); ++seen) {
            if (seen->state && seen->state->groups.contains(group))
                named << seen.key();
        }
        if (named.isEmpty()) {
            *refusal = QStringLiteral("no player of group %1 is known to the broker (no state names it)").arg(group);
            return {};
        }
    }
    QList<Addressee> list;
    for (const QString &name : std::as_const(named)) {
        const SeenState seen = states.value(name);
        QString why;
        if (!seen.state)
            why = QStringLiteral("its state is not one this program can read");
        else if (!seen.propertiesKept)
            why = QStringLiteral("its state came without the MQTT 5 properties its bridge gives it, so a broker on "
                                 "the way drops them (bridged with MQTT 3.1.1?), and with them this command's "
                                 "expiry and its reply");
        else if (!seen.state->online)
            why = offlineWords(seen);
        list << Addressee{name, why.isEmpty() ? QByteArray() : "error not sent: " + why.toUtf8()};
    }
    return list;
}
