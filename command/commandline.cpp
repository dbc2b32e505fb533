#include "command/commandline.h"
#include "command/commandgrammar.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

bool endsLine(char byte)
{
    return byte == '\n' || byte == '\r' || byte == '\0';
}

bool isPrintable(char byte)
{
    return (byte >= 0x20 && byte < 0x7F) || byte == '\t';
}

} // namespace

QList<CommandLineReader::Line> CommandLineReader::feed(const QByteArray &bytes)
{
    QList<Line> lines;
    const QString tooLong = QStringLiteral("line longer than %1 bytes").arg(MaxCommandLineLength);
    for (const char byte : bytes) {
        if (endsLine(byte)) {
            if (!m_dropping && !m_pending.isEmpty())
                lines << Line{m_pending, QString()};
            m_pending.clear();
            m_dropping = false;
        } else if (!m_dropping) {
            m_pending += byte;
            if (m_pending.size() > MaxCommandLineLength) {
                lines << Line{QByteArray(), tooLong};
                m_pending.clear();
                m_dropping = true;
            }
        }
    }
    return lines;
}

QList<CommandLineReader::Line> CommandLineReader::finish()
{
    QList<Line> lines;
    if (!m_dropping && !m_pending.isEmpty())
        lines << Line{m_pending, QString()};
    m_pending.clear();
    m_dropping = false;
    return lines;
}

CommandLineResult parseCommandLine(const QByteArray &line)
{
    if (!std::all_of(line.begin(), line.end(), isPrintable))
        return {std::nullopt, QStringLiteral("line holds bytes that are not text")};
    static const QRegularExpression blanks(QStringLiteral("[ \t]+"));
    const QStringList words = QString::fromLatin1(line).split(blanks, Qt::SkipEmptyParts);
    const ParsedCommands parsed = parseCommandWords(words);
    if (!parsed.error.isEmpty())
        return {std::nullopt, parsed.error};
    if (parsed.commands.size() != 1)
        return {std::nullopt, QStringLiteral("one command per line")};
    return {parsed.commands.first(), QString()};
}

CommandLineResult parseCommandMessage(const QByteArray &message, const QString &unit)
{
    // A line end at most: anything longer is refused before it is split.
    if (message.size() > MaxCommandLineLength + 2) {
        return {std::nullopt, QStringLiteral("%1 bytes, longer than one command of at most %2")
                                  .arg(message.size())
                                  .arg(MaxCommandLineLength)};
    }
    CommandLineReader reader;
    QList<CommandLineReader::Line> lines = reader.feed(message);
    lines += reader.finish();
    if (lines.size() != 1)
        return {std::nullopt, QStringLiteral("one command per %1").arg(unit)};
    if (!lines.first().error.isEmpty())
        return {std::nullopt, lines.first().error};
    return parseCommandLine(lines.first().text);
}

QByteArray okReply(const CommandFrame &frame)
{
    return "ok " + frameBytes(frame).toHex(' ') + '\n';
}

namespace {

QByteArray reasonReply(const char *word, const QString &reason)
{
    // A reason may quote the offending words: keep the reply on one line.
    QString oneLine = reason;
    oneLine.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return word + oneLine.toUtf8() + '\n';
}

} // namespace

QByteArray errorReply(const QString &reason)
{
    return reasonReply("error ", reason);
}

QByteArray replyLine(const CommandFrame &frame, const SendOutcome &outcome)
{
    switch (outcome.kind) {
    case SendOutcome::Kind::Sent:
        return okReply(frame);
    case SendOutcome::Kind::NotSent:
        break;
    case SendOutcome::Kind::Unknown:
        return reasonReply("unknown ", outcome.reason);
    }
    return errorReply(outcome.reason);
}

SendOutcome outcomeOfReply(const QByteArray &reply, const CommandFrame &frame)
{
    const QByteArray line = reply.trimmed();
    if (line == okReply(frame).trimmed())
        return SendOutcome::sent();
    if (line.startsWith("error "))
        return SendOutcome::notSent(QString::fromUtf8(line.mid(6)));
    if (line.startsWith("unknown "))
        return SendOutcome::unknown(QString::fromUtf8(line.mid(8)));
    return SendOutcome::unknown(QStringLiteral("unexpected answer from the port's owner"));
}

bool CommandLife::expired() const
{
    return deadline.hasExpired() || (notAfter.isValid() && QDateTime::currentDateTimeUtc() > notAfter);
}

QString CommandLife::expiredReason() const
{
    return QStringLiteral("not sent: expired (%1) before the line could take it").arg(why);
}
