#include "fleet/fleetdiscovery.h"
#include "command/commandgrammar.h"
#include "command/playercommand.h"
#include "fleet/fleettopics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace FleetDiscovery {

namespace {

const QString online = QStringLiteral("{{ 'online' if value_json.online else 'offline' }}");

struct Transport
{
    Commands::Opcode opcode;
    const char *icon;
};
const Transport transports[] = {
    {Commands::Play, "mdi:play"},
    {Commands::Pause, "mdi:pause"},
    {Commands::Stop, "mdi:stop"},
    {Commands::Next, "mdi:skip-next"},
    {Commands::Previous, "mdi:skip-previous"},
};

QByteArray topicOf(const char *component, const QString &player, const QByteArray &object)
{
    return QByteArray(Prefix) + '/' + component + '/' + nodeId(player) + '/' + object + "/config";
}

} // namespace

QByteArray nodeId(const QString &player)
{
    QByteArray node = "tunaris-";
    for (const char c : player.toUtf8()) {
        if (c == '.')
            node += "_2e";
        else if (c == '_')
            node += "_5f";
        else
            node += c;
    }
    return node;
}

QByteArray nodeFilter(const QString &player)
{
    return QByteArray(Prefix) + "/+/" + nodeId(player) + "/+/config";
}

bool isNodeConfig(const QByteArray &topic, const QString &player)
{
    const QList<QByteArray> levels = topic.split('/');
    return levels.size() == 5 && levels.at(0) == Prefix && levels.at(2) == nodeId(player) && levels.at(4) == "config";
}

QList<Config> configs(const QString &player, const QString &version)
{
    const QString state = QString::fromUtf8(FleetTopics::playerState(player));
    const QString unique = QStringLiteral("tunaris-%1-").arg(player);
    // Every entity belongs to the one device: the player.
    const QJsonObject device{{"identifiers", QJsonArray{QStringLiteral("tunaris-%1").arg(player)}},
                             {"name", player},
                             {"model", QStringLiteral("player through tunaris-bridge")},
                             {"sw_version", version}};
    const QJsonObject origin{{"name", QStringLiteral("tunaris-bridge")}, {"sw_version", version}};
    // Offline, its buttons cannot be pressed and what it knows is not shown.
    const QJsonArray availability{QJsonObject{{"topic", state}, {"value_template", online}}};
    const auto entity = [&](const QString &object, const QString &name) {
        return QJsonObject{{"name", name}, {"unique_id", unique + object}, {"device", device}, {"origin", origin}};
    };
    QList<Config> made;
    const auto add = [&](const char *component, const QByteArray &object, const QJsonObject &config) {
        made.append({topicOf(component, player, object), QJsonDocument(config).toJson(QJsonDocument::Compact)});
    };

    for (const Transport &transport : transports) {
        const PlayerCommand command = PlayerCommand::transportCommand(transport.opcode);
        const QString word = commandWords(command);
        QJsonObject button = entity(word, commandName(command));
        button.insert("command_topic", QString::fromUtf8(FleetTopics::playerCommand(player)));
        button.insert("payload_press", word);
        // At most once: a press that cannot be delivered at once is lost
        // rather than played late or twice (README, "Building automation").
        button.insert("qos", 0);
        button.insert("retain", false);
        button.insert("availability", availability);
        button.insert("icon", QString::fromLatin1(transport.icon));
        add("button", word.toLatin1(), button);
    }

    QJsonObject connected = entity(QStringLiteral("online"), QStringLiteral("Online"));
    connected.insert("device_class", QStringLiteral("connectivity"));
    connected.insert("state_topic", state);
    connected.insert("value_template", QStringLiteral("{{ 'ON' if value_json.online else 'OFF' }}"));
    connected.insert("payload_on", QStringLiteral("ON"));
    connected.insert("payload_off", QStringLiteral("OFF"));
    add("binary_sensor", "online", connected);

    QJsonObject link = entity(QStringLiteral("link"), QStringLiteral("Link"));
    link.insert("state_topic", state);
    link.insert("value_template", QStringLiteral("{{ value_json.link | default('unknown') }}"));
    link.insert("availability", availability);
    link.insert("icon", QStringLiteral("mdi:serial-port"));
    add("sensor", "link", link);

    QJsonObject last = entity(QStringLiteral("last"), QStringLiteral("Last command"));
    last.insert("state_topic", state);
    last.insert("value_template",
                QStringLiteral("{{ value_json.last.command if value_json.last is defined else 'none' }}"));
    last.insert("json_attributes_topic", state);
    last.insert("json_attributes_template", QStringLiteral("{{ value_json.last | default({}) | tojson }}"));
    last.insert("availability", availability);
    last.insert("icon", QStringLiteral("mdi:history"));
    add("sensor", "last", last);
    return made;
}

} // namespace FleetDiscovery
