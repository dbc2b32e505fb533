#include "fleet/fleetjournal.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>

namespace {

// What is read of a file that has grown past this (by hand, or a fault): its end.
constexpr qint64 maxReadBytes = 4 * 1024 * 1024;
constexpr int maxRecordBytes = 2048;
constexpr int maxReplyBytes = 512;
constexpr int keyBytes = 16;
// The file is rewritten after this many records.
constexpr int rewriteAfter = 4 * FleetJournal::MaxEntries;

QString text(const QJsonObject &object, const char *name, int limit)
{
    const QString value = object.value(QLatin1String(name)).toString();
    return value.size() <= limit ? value : QString();
}

QByteArray keyOf(const QJsonObject &object, const char *name)
{
    const QByteArray hex = text(object, name, 2 * keyBytes).toLatin1();
    const QByteArray key = QByteArray::fromHex(hex);
    return key.size() == keyBytes && key.toHex() == hex ? key : QByteArray();
}

quint64 numberOf(const QJsonValue &value)
{
    const double number = value.toDouble(-1);
    return number >= 1 && number < 9e15 && number == double(quint64(number)) ? quint64(number) : 0;
}

bool isReply(const QByteArray &reply)
{
    const bool printable = std::all_of(reply.begin(), reply.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
    return printable && reply.size() <= maxReplyBytes
           && (reply.startsWith("ok ") || reply.startsWith("error ") || reply.startsWith("unknown "));
}

QJsonObject lastObject(const FleetJournal::Last &last)
{
    return {{QStringLiteral("command"), last.command},
            {QStringLiteral("bytes"), last.bytes},
            {QStringLiteral("time"), last.time}};
}

std::optional<FleetJournal::Last> lastOf(const QJsonObject &object)
{
    FleetJournal::Last last{text(object, "command", 64), text(object, "bytes", 64), text(object, "time", 64)};
    if (last.command.isEmpty() || last.bytes.isEmpty() || last.time.isEmpty())
        return std::nullopt;
    return last;
}

QByteArray record(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

QString FleetJournal::defaultFolder()
{
    const QString service = QFile::decodeName(qgetenv("STATE_DIRECTORY")).section(QLatin1Char(':'), 0, 0);
    if (!service.isEmpty())
        return service;
    QString state = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QLatin1String("/.local/state");
    return state + QLatin1String("/tunaris-bridge");
}

QByteArray FleetJournal::key(const QList<QByteArray> &parts)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray &part : parts) {
        // Each part with its length, so that no two lists give one digest.
        hash.addData(QByteArray::number(part.size()) + ':');
        hash.addData(part);
    }
    return hash.result().left(keyBytes);
}

FleetJournal::FleetJournal()
{
    m_flush.setSingleShot(true);
    m_flush.setInterval(0);
    m_flush.callOnTimeout([this] { m_file.flush(); });
}

FleetJournal::~FleetJournal()
{
    if (m_file.isOpen())
        m_file.flush();
}

bool FleetJournal::open(const QString &folder, const QString &player, QString *error)
{
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder)) {
            *error = QStringLiteral("cannot make the state folder %1").arg(folder);
            return false;
        }
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    const QString base = QStringLiteral("%1/fleet-%2").arg(folder, player);
    QString holder;
    QString lockError;
    if (!m_lock.lock(base + QLatin1String(".lock"), &holder, &lockError)) {
        *error = !lockError.isEmpty()
                     ? lockError
                     : QStringLiteral("player %1 is already served on this machine%2; a player ID has "
                                      "one bridge")
                           .arg(player, holder.isEmpty() ? QString() : QStringLiteral(", by ") + holder);
        return false;
    }

    m_path = base + QLatin1String(".journal");
    QFile file(m_path);
    if (file.open(QIODevice::ReadOnly)) {
        if (file.size() > maxReadBytes)
            file.seek(file.size() - maxReadBytes);
        QHash<quint64, qsizetype> byNumber;
        while (!file.atEnd()) {
            const QByteArray line = file.readLine(maxRecordBytes + 1);
            if (line.size() > maxRecordBytes || !line.endsWith('\n'))
                continue; // a part of a longer line, or one cut short by a crash
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (const quint64 number = numberOf(object.value(QLatin1String("handed")))) {
                Entry entry;
                entry.number = number;
                entry.at = QDateTime::fromString(text(object, "at", 64), Qt::ISODateWithMs);
                entry.redelivery = keyOf(object, "redelivery");
                entry.request = keyOf(object, "request");
                entry.settled = object.value(QLatin1String("settled")).toBool();
                if (entry.at.isValid() && !byNumber.contains(number)) {
                    byNumber.insert(number, m_entries.size());
                    m_entries << entry;
                    m_next = std::max(m_next, number + 1);
                }
            } else if (const quint64 answered = numberOf(object.value(QLatin1String("answered")))) {
                const QByteArray reply = text(object, "reply", maxReplyBytes).toLatin1();
                if (byNumber.contains(answered) && isReply(reply))
                    m_entries[byNumber.value(answered)].reply = reply;
                if (const std::optional<Last> last = lastOf(object))
                    m_last = last;
            } else if (object.value(QLatin1String("settled")).isArray()) {
                for (const QJsonValue &value : object.value(QLatin1String("settled")).toArray()) {
                    if (byNumber.contains(numberOf(value)))
                        m_entries[byNumber.value(numberOf(value))].settled = true;
                }
            } else if (object.value(QLatin1String("last")).isObject()) {
                if (const std::optional<Last> last = lastOf(object.value(QLatin1String("last")).toObject()))
                    m_last = last;
            }
        }
        file.close();
    }
    if (!rewrite(error))
        return false;
    return true;
}

quint64 FleetJournal::handed(const QByteArray &redelivery, const QByteArray &request, bool settled, QString *error)
{
    Entry entry;
    entry.number = m_next++;
    entry.at = QDateTime::currentDateTimeUtc();
    entry.redelivery = redelivery;
    entry.request = request;
    entry.settled = settled;
    QJsonObject object{{QStringLiteral("handed"), double(entry.number)},
                       {QStringLiteral("at"), entry.at.toString(Qt::ISODateWithMs)}};
    if (!redelivery.isEmpty())
        object.insert(QStringLiteral("redelivery"), QString::fromLatin1(redelivery.toHex()));
    if (!request.isEmpty())
        object.insert(QStringLiteral("request"), QString::fromLatin1(request.toHex()));
    if (settled)
        object.insert(QStringLiteral("settled"), true);
    if (!append(record(object), true, error))
        return 0;
    m_entries << entry;
    return entry.number;
}

void FleetJournal::answered(quint64 number, const QByteArray &reply, const std::optional<Last> &sent)
{
    QJsonObject object{{QStringLiteral("answered"), double(number)},
                       {QStringLiteral("reply"), QString::fromLatin1(reply.left(maxReplyBytes))}};
    if (sent) {
        object = lastObject(*sent);
        object.insert(QStringLiteral("answered"), double(number));
        object.insert(QStringLiteral("reply"), QString::fromLatin1(reply.left(maxReplyBytes)));
        m_last = sent;
    }
    for (Entry &entry : m_entries) {
        if (entry.number == number)
            entry.reply = reply;
    }
    QString error;
    append(record(object), false, &error);
}

void FleetJournal::settled(const QList<quint64> &numbers)
{
    if (numbers.isEmpty())
        return;
    QJsonArray list;
    for (const quint64 number : numbers)
        list << double(number);
    for (Entry &entry : m_entries) {
        if (numbers.contains(entry.number))
            entry.settled = true;
    }
    QString error;
    append(record(QJsonObject{{QStringLiteral("settled"), list}}), false, &error);
}

bool FleetJournal::append(const QByteArray &line, bool now, QString *error)
{
    if (++m_appended > rewriteAfter && !rewrite(error))
        return false;
    if (m_file.write(line) != line.size()) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, m_file.errorString());
        return false;
    }
    if (!now) {
        m_flush.start();
        return true;
    }
    // To the system: a process that dies next leaves it there.
    m_flush.stop();
    if (!m_file.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, m_file.errorString());
        return false;
    }
    return true;
}

// Only what is kept, into a new file that takes the old one's place whole.
bool FleetJournal::rewrite(QString *error)
{
    const QDateTime oldest = QDateTime::currentDateTimeUtc().addSecs(-KeepSeconds);
    m_entries.removeIf([&](const Entry &entry) { return entry.at < oldest; });
    if (m_entries.size() > MaxEntries)
        m_entries.remove(0, m_entries.size() - MaxEntries);
    m_file.close(); // what it held first
    QSaveFile file(m_path);
    file.setDirectWriteFallback(false);
    bool written = file.open(QIODevice::WriteOnly);
    if (written && m_last)
        written = file.write(record(QJsonObject{{QStringLiteral("last"), lastObject(*m_last)}})) >= 0;
    for (const Entry &entry : std::as_const(m_entries)) {
        if (!written)
            break;
        QJsonObject object{{QStringLiteral("handed"), double(entry.number)},
                           {QStringLiteral("at"), entry.at.toString(Qt::ISODateWithMs)}};
        if (!entry.redelivery.isEmpty())
            object.insert(QStringLiteral("redelivery"), QString::fromLatin1(entry.redelivery.toHex()));
        if (!entry.request.isEmpty())
            object.insert(QStringLiteral("request"), QString::fromLatin1(entry.request.toHex()));
        if (entry.settled)
            object.insert(QStringLiteral("settled"), true);
        QByteArray lines = record(object);
        if (!entry.reply.isEmpty())
            lines += record(QJsonObject{{QStringLiteral("answered"), double(entry.number)},
                                        {QStringLiteral("reply"), QString::fromLatin1(entry.reply)}});
        written = file.write(lines) == lines.size();
    }
    if (!written || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, file.errorString());
        return false;
    }
    m_appended = 0;
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, m_file.errorString());
        return false;
    }
    m_file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}
