// Command lines as other programs send them, read without a socket: the
// bytes are hostile, so every way of ending, overrunning or garbling a line
// is a row here, and the services' own tests need only show that they use
// these rules.
#include "command/commandgrammar.h"
#include "command/commandline.h"
#include "command/knownmixer.h"

#include <QJsonDocument>

#include <QTest>

class CommandLineTest : public QObject
{
    Q_OBJECT

private slots:
    void splitsLines_data();
    void splitsLines();
    void parsesOneCommand_data();
    void parsesOneCommand();
    void readsReplies_data();
    void readsReplies();
    void reasonStaysOnOneLine();
    void knowsOnlyWhatWasSent_data();
    void knowsOnlyWhatWasSent();
};

Q_DECLARE_METATYPE(SendOutcome::Kind)

namespace {

const QByteArray refused = "refused: line longer than 256 bytes";

QByteArrayList linesOf(const QList<CommandLineReader::Line> &lines)
{
    QByteArrayList texts;
    for (const CommandLineReader::Line &line : lines)
        texts << (line.error.isEmpty() ? line.text : "refused: " + line.error.toUtf8());
    return texts;
}

} // namespace

void CommandLineTest::splitsLines_data()
{
    QTest::addColumn<QByteArrayList>("reads");    // the bytes as each read brings them
    QTest::addColumn<QByteArrayList>("lines");    // given out as the reads come
    QTest::addColumn<QByteArrayList>("atTheEnd"); // given out when the input ends

    const QByteArray longest(MaxCommandLineLength, 'a');
    QTest::newRow("LF") << QByteArrayList{"play\nstop\n"} << QByteArrayList{"play", "stop"} << QByteArrayList();
    QTest::newRow("CR LF") << QByteArrayList{"play\r\nstop\r\n"} << QByteArrayList{"play", "stop"} << QByteArrayList();
    QTest::newRow("CR") << QByteArrayList{"play\rstop\r"} << QByteArrayList{"play", "stop"} << QByteArrayList();
    QTest::newRow("NUL") << QByteArrayList{QByteArray("play\0stop\0", 10)} << QByteArrayList{"play", "stop"}
                         << QByteArrayList();
    QTest::newRow("empty lines are skipped")
        << QByteArrayList{QByteArray("\n\r\n\0\rplay\n\n", 10)} << QByteArrayList{"play"} << QByteArrayList();
    QTest::newRow("CR LF split between reads")
        << QByteArrayList{"play\r", "\nstop\n"} << QByteArrayList{"play", "stop"} << QByteArrayList();
    QTest::newRow("a line over three reads")
        << QByteArrayList{"pl", "ay", "\n"} << QByteArrayList{"play"} << QByteArrayList();
    QTest::newRow("last line without its end")
        << QByteArrayList{"play\nstop"} << QByteArrayList{"play"} << QByteArrayList{"stop"};
    // What a line holds is the parser's to judge.
    QTest::newRow("blanks and binary bytes kept")
        << QByteArrayList{" pl\x80\xff\t\n"} << QByteArrayList{" pl\x80\xff\t"} << QByteArrayList();
    QTest::newRow("256 bytes") << QByteArrayList{longest + "\n"} << QByteArrayList{longest} << QByteArrayList();
    QTest::newRow("257 bytes, then a good line")
        << QByteArrayList{longest + "a\nplay\n"} << QByteArrayList{refused, "play"} << QByteArrayList();
    // Refused as soon as it is too long, once, and its rest never read as
    // a line of its own.
    QTest::newRow("too long over several reads") << QByteArrayList{longest, "a", QByteArray(1000, 'b'), "c\rplay\r"}
                                                 << QByteArrayList{refused, "play"} << QByteArrayList();
}

void CommandLineTest::splitsLines()
{
    QFETCH(QByteArrayList, reads);
    QFETCH(QByteArrayList, lines);
    QFETCH(QByteArrayList, atTheEnd);
    CommandLineReader reader;
    QByteArrayList given;
    for (const QByteArray &bytes : reads)
        given += linesOf(reader.feed(bytes));
    QCOMPARE(given, lines);
    QCOMPARE(linesOf(reader.finish()), atTheEnd);
    QCOMPARE(linesOf(reader.finish()), QByteArrayList());
}

void CommandLineTest::parsesOneCommand_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("result"); // the frame's bytes, or why nothing is sent

    const QString notText = QStringLiteral("line holds bytes that are not text");
    QTest::newRow("a word") << QByteArray("play") << "20 ff ff ff";
    QTest::newRow("tabs and runs of blanks") << QByteArray("\t spot  5\t--x-in-seq 3 ") << "14 00 05 03";
    QTest::newRow("two commands") << QByteArray("play stop") << "one command per line";
    QTest::newRow("blanks only") << QByteArray(" \t ") << "one command per line";
    QTest::newRow("refused by the grammar") << QByteArray("volume xlr 1") << "volume xlr 1 is out of range (-64 to 0)";
    // Another program must not choose the port of the one that holds it.
    QTest::newRow("a line option") << QByteArray("--port /dev/null play") << "unknown option '--port'";
    QTest::newRow("bytes above ASCII") << QByteArray("pl\x80\xff") << notText;
    QTest::newRow("UTF-8") << QByteArray("folder \xef\xbc\x93") << notText; // a full-width 3
    QTest::newRow("a terminal escape") << QByteArray("play\x1b[2J") << notText;
    QTest::newRow("DEL") << QByteArray("play\x7f") << notText;
    QTest::newRow("vertical tab") << QByteArray("play\vstop") << notText;
}

void CommandLineTest::parsesOneCommand()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, result);
    const CommandLineResult parsed = parseCommandLine(line);
    QCOMPARE(parsed.command.has_value(), parsed.error.isEmpty());
    QCOMPARE(parsed.command ? QString::fromLatin1(frameBytes(toFrame(*parsed.command)).toHex(' ')) : parsed.error,
             result);
}

// What the port's owner answers: only the exact "ok" for this frame says
// that it was sent.
void CommandLineTest::readsReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<SendOutcome::Kind>("kind");
    QTest::addColumn<QString>("reason"); // empty: a strange answer, its outcome unknown

    QTest::newRow("ok") << QByteArray("ok 03 01 2c ff\n") << SendOutcome::Kind::Sent << "";
    QTest::newRow("error") << QByteArray("error the port closed\n") << SendOutcome::Kind::NotSent << "the port closed";
    QTest::newRow("unknown") << QByteArray("unknown it went away\n") << SendOutcome::Kind::Unknown << "it went away";
    QTest::newRow("ok for another frame") << QByteArray("ok 20 ff ff ff\n") << SendOutcome::Kind::Unknown << "";
    QTest::newRow("OK") << QByteArray("OK 03 01 2c ff\n") << SendOutcome::Kind::Unknown << "";
    QTest::newRow("nothing") << QByteArray() << SendOutcome::Kind::Unknown << "";
    QTest::newRow("a word run on") << QByteArray("errorless\n") << SendOutcome::Kind::Unknown << "";
}

void CommandLineTest::readsReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(SendOutcome::Kind, kind);
    QFETCH(QString, reason);
    const CommandFrame frame = Commands::loadFolder(300, Commands::LoadMode::Sequential, true);
    const SendOutcome read = outcomeOfReply(reply, frame);
    QCOMPARE(read.kind, kind);
    const bool strange = reason.isEmpty() && kind != SendOutcome::Kind::Sent;
    QCOMPARE(read.reason, strange ? QStringLiteral("unexpected answer from the port's owner") : reason);
    if (!strange)
        QCOMPARE(replyLine(frame, read), reply);
}

// A reason may quote a client's words: they must not make a reply of their own.
void CommandLineTest::reasonStaysOnOneLine()
{
    QCOMPARE(errorReply(QStringLiteral("unknown command 'a\r\nok'")), QByteArray("error unknown command 'a  ok'\n"));
}

// clang-format off
void CommandLineTest::knowsOnlyWhatWasSent_data()
{
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QByteArray>("known");

    const QByteArray nothing = R"({"all":{"level":null,"muted":null},"rca":{"level":null,"muted":null},"xlr":{"level":null,"muted":null}})";
    QTest::newRow("nothing sent") << QStringList{"play"} << nothing;
    QTest::newRow("a step from nowhere") << QStringList{"volume xlr up 5"} << nothing;
    QTest::newRow("level, then steps") << QStringList{"volume xlr -20", "volume xlr up 5", "volume xlr down 3"}
        << QByteArray(R"({"all":{"level":null,"muted":null},"rca":{"level":null,"muted":null},"xlr":{"level":-18,"muted":null}})");
    QTest::newRow("steps stop at the ends") << QStringList{"volume all -3", "volume all up 10", "volume rca -60", "volume rca down 32"}
        << QByteArray(R"({"all":{"level":0,"muted":null},"rca":{"level":-64,"muted":null},"xlr":{"level":null,"muted":null}})");
    QTest::newRow("muted keeps its level") << QStringList{"volume rca -10", "mute rca on", "mute xlr off"}
        << QByteArray(R"({"all":{"level":null,"muted":null},"rca":{"level":-10,"muted":true},"xlr":{"level":null,"muted":false}})");
}
// clang-format on

void CommandLineTest::knowsOnlyWhatWasSent()
{
    QFETCH(QStringList, sent);
    QFETCH(QByteArray, known);

    KnownMixer mixer;
    for (const QString &words : sent) {
        const ParsedCommands parsed = parseCommandWords(words.split(QLatin1Char(' ')));
        QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
        mixer.apply(parsed.commands.first());
    }
    QCOMPARE(QJsonDocument(mixer.toJson()).toJson(QJsonDocument::Compact), known);
}

QTEST_APPLESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
