#include "tools/bridge/servicesettings.h"

#include <QHash>
#include <QProcess>

#include <algorithm>

namespace {

constexpr int maxSettingsBytes = 64 * 1024;

const QStringList names = {"PORT", "LISTEN", "WEB", "OPTIONS", "MQTT_OPTIONS"};

bool isText(const QString &line)
{
    return std::none_of(line.begin(), line.end(),
                        [](QChar c) { return c.category() == QChar::Other_Control && c != u'\t'; });
}

// One pair of double quotes around the whole value goes, as systemd drops it.
QString unquoted(const QString &value)
{
    if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"') && value.count(u'"') == 2)
        return value.mid(1, value.size() - 2);
    return value;
}

} // namespace

QStringList serviceArguments(const QByteArray &settings, QString *error)
{
    if (settings.size() > maxSettingsBytes) {
        *error = QStringLiteral("larger than %1 KiB: not a settings file").arg(maxSettingsBytes / 1024);
        return {};
    }
    // Notepad may begin the file with a byte order mark and end lines with CR LF.
    QString text = QString::fromUtf8(settings);
    if (text.startsWith(QChar(0xfeff)))
        text.remove(0, 1);
    QHash<QString, QString> values;
    const QStringList lines = text.split(u'\n');
    for (int i = 0; i < lines.size(); ++i) {
        const auto refuse = [&](const QString &why) {
            *error = QStringLiteral("line %1: %2").arg(i + 1).arg(why);
            return QStringList();
        };
        QString line = lines.at(i);
        if (line.endsWith(u'\r'))
            line.chop(1);
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
            continue;
        if (!isText(line) || line.contains(QChar::ReplacementCharacter))
            return refuse(QStringLiteral("holds characters that are not text"));
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            return refuse(QStringLiteral("not NAME=value"));
        const QString name = line.left(equals).trimmed();
        if (!names.contains(name))
            return refuse(QStringLiteral("unknown setting '%1' (%2)").arg(name, names.join(QLatin1String(", "))));
        if (values.contains(name))
            return refuse(QStringLiteral("%1 given twice").arg(name));
        const QString value = unquoted(line.mid(equals + 1).trimmed());
        if (!name.endsWith(QLatin1String("OPTIONS"))
            && (value.isEmpty() || value.contains(QLatin1Char(' ')) || value.contains(QLatin1Char('\t'))))
            return refuse(QStringLiteral("%1 takes one value").arg(name));
        values.insert(name, value);
    }
    if (!values.contains(QStringLiteral("PORT"))) {
        *error = QStringLiteral("no PORT= line: the player's port, for example PORT=COM3");
        return {};
    }
    return QStringList{"--port",   values.value(QStringLiteral("PORT")),
                       "--listen", values.value(QStringLiteral("LISTEN"), QStringLiteral("127.0.0.1:4001")),
                       "--web",    values.value(QStringLiteral("WEB"), QStringLiteral("off"))}
           + QProcess::splitCommand(values.value(QStringLiteral("MQTT_OPTIONS")))
           + QProcess::splitCommand(values.value(QStringLiteral("OPTIONS")));
}
