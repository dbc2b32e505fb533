// The one intake without a line: a way to the player that answers when the
// test says so, and the intake's own rules over it, a row each: what it
// admits, what it refuses and in which words, how long a command may wait,
// and that a client's run stops at the first command that did not go out.
#include "link/commandintake.h"
#include "link/linkroute.h"
#include "link/throttledreport.h"

#include <QTest>

namespace {

// A way that takes what it has room for and answers only when told.
class ScriptedRoute : public LinkRoute
{
public:
    int room() override { return m_capacity - int(m_taken.size()); }
    void send(const CommandFrame &, const QString &words, DeliveryDone done) override
    {
        m_taken << Taken{words, std::move(done)};
    }
    void flush() override { ++flushes; }

    void setRoom(int capacity)
    {
        m_capacity = capacity;
        emit roomChanged();
    }
    // Answers the oldest command it holds.
    void answer(const SendOutcome &outcome)
    {
        Taken taken = m_taken.takeFirst();
        taken.done(outcome);
    }
    QStringList held() const
    {
        QStringList words;
        for (const Taken &taken : m_taken)
            words << taken.words;
        return words;
    }

    int flushes = 0;

private:
    struct Taken
    {
        QString words;
        DeliveryDone done;
    };
    int m_capacity = 0; // commands it holds at most
    QList<Taken> m_taken;
};

} // namespace

class IntakeTest : public QObject
{
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
    void turnsRunTogetherAndDoorsHearOfRoom();
    void aFloodOfReportsIsCountedWithItsLast();
};

// clang-format off
void IntakeTest::rules_data()
{
    // Steps: "take CLIENT SOURCE TEXT" (CLIENT a name, SOURCE "-" for none,
    // "window" the operator); "room N"; "ok", "fail", "unknown": the oldest
    // command the way holds is answered so; "wait MS".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("answers"); // in the order given: "CLIENT: reply line"
    QTest::addColumn<QStringList>("held");    // what the way holds at the end

    QTest::newRow("one at a time, in order")
        << QStringList{"take a - play", "take a - stop", "room 1", "ok", "ok"}
        << QStringList{"a: ok 20 ff ff ff", "a: ok 22 ff ff ff"} << QStringList{};
    QTest::newRow("not a command: refused at once, and stops nothing")
        << QStringList{"take a - play", "take a - plya", "room 1", "ok"}
        << QStringList{"a: error unknown command 'plya'", "a: ok 20 ff ff ff"} << QStringList{};
    QTest::newRow("a run stops at a command that did not go out")
        << QStringList{"take a - play", "take a - stop", "take b - next", "take a - pause", "room 1", "fail"}
        << QStringList{"a: error not sent: the line failed",
                       "a: error not sent: an earlier command from this client did not go out",
                       "a: error not sent: an earlier command from this client did not go out"}
        << QStringList{"next"};
    QTest::newRow("and at one whose outcome is unknown")
        << QStringList{"take a - play", "take a - stop", "room 1", "unknown"}
        << QStringList{"a: unknown the owner went silent",
                       "a: error not sent: an earlier command from this client did not go out"} << QStringList{};
    QTest::newRow("after the answer, the client's next run goes")
        << QStringList{"take a - play", "room 1", "fail", "take a - stop", "ok"}
        << QStringList{"a: error not sent: the line failed", "a: ok 22 ff ff ff"} << QStringList{};
    QTest::newRow("sixteen from one source wait, the seventeenth is refused")
        << QStringList(16, "take a 10.0.0.7 play") + QStringList{"take b 10.0.0.7 stop", "take c 10.0.0.8 next"}
        << QStringList{"b: error not sent: 16 commands from 10.0.0.7 already wait for the line"}
        << QStringList{};
    QTest::newRow("sixty-four wait in all")
        << QStringList(64, "take a - play") + QStringList{"take b 10.0.0.8 stop"}
        << QStringList{"b: error not sent: 64 commands already wait for the line"} << QStringList{};
    QTest::newRow("the operator is never refused")
        << QStringList(64, "take a - play") + QStringList{"take w window stop", "room 1"}
        << QStringList{} << QStringList{"play"};
    QTest::newRow("a command waits no longer than its life")
        << QStringList{"take a - play 30", "wait 60", "room 1"}
        << QStringList{"a: error not sent: expired (30 ms) before the line could take it"} << QStringList{};
}
// clang-format on

void IntakeTest::rules()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, held);
    // The answers outlive the intake, which answers what still waits as it goes.
    QStringList got;
    ScriptedRoute route;
    CommandIntake intake(&route);
    QHash<QString, std::shared_ptr<CommandIntake::Client>> clients;
    for (const QString &step : steps) {
        const QStringList words = step.split(QLatin1Char(' '));
        if (words.first() == QLatin1String("take")) {
            const QString name = words.at(1);
            if (!clients.contains(name)) {
                const QString source = words.at(2);
                clients.insert(name, CommandIntake::client({source == QLatin1String("window") ? source : "test", name,
                                                            source == QLatin1String("-") ? QString() : source}));
            }
            CommandLife life;
            if (words.size() > 4) {
                life.deadline = QDeadlineTimer(words.at(4).toInt());
                life.why = words.at(4) + QStringLiteral(" ms");
            }
            intake.take(
                clients.value(name), words.at(3).toLatin1(),
                [&got, name](const CommandIntake::Reply &reply) {
                    got << name + QStringLiteral(": ") + QString::fromUtf8(reply.line().trimmed());
                },
                life);
        } else if (words.first() == QLatin1String("room")) {
            route.setRoom(words.at(1).toInt());
        } else if (words.first() == QLatin1String("wait")) {
            QTest::qWait(words.at(1).toInt());
        } else {
            const QString kind = words.first();
            route.answer(kind == QLatin1String("ok") ? SendOutcome::sent()
                         : kind == QLatin1String("fail")
                             ? SendOutcome::notSent(QStringLiteral("not sent: the line failed"))
                             : SendOutcome::unknown(QStringLiteral("the owner went silent")));
        }
    }
    QCOMPARE(got, answers);
    QCOMPARE(route.held(), held);
    got.clear(); // the rest are answered as the intake goes
}

// What is taken while there is room goes to the way together, in one flush;
// a door told there was no room hears when there may be some again.
void IntakeTest::turnsRunTogetherAndDoorsHearOfRoom()
{
    ScriptedRoute route;
    CommandIntake intake(&route);
    int roomAgain = 0;
    connect(&intake, &CommandIntake::roomAgain, this, [&] { ++roomAgain; });
    const auto crowd = CommandIntake::client({"test", "crowd", "10.0.0.9"});
    for (int i = 0; i < CommandIntake::MaxWaitingPerSource; ++i)
        intake.take(crowd, QByteArray("play"), nullptr);
    QVERIFY(!intake.hasRoom(*crowd));
    const int flushesBefore = route.flushes;
    route.setRoom(CommandIntake::MaxWaitingPerSource);
    QCOMPARE(route.held().size(), CommandIntake::MaxWaitingPerSource);
    QCOMPARE(route.flushes, flushesBefore + 1);
    QCOMPARE(roomAgain, 0);
    route.answer(SendOutcome::sent());
    QCOMPARE(roomAgain, 1);
    QVERIFY(intake.hasRoom(*crowd));
}

// The journal's line per command, under a flood: the burst is told, then
// the rest counted in one line with the latest, none lost from the count.
void IntakeTest::aFloodOfReportsIsCountedWithItsLast()
{
    QStringList told;
    ThrottledReport report([&](const QString &line) { told << line; }, 20, 100);
    for (int i = 1; i <= 1000; ++i)
        report(QStringLiteral("tcp 10.0.0.9:5000: play: ok 20 ff ff ff (%1)").arg(i));
    QCOMPARE(told.size(), 20);
    QCOMPARE(told.last(), QStringLiteral("tcp 10.0.0.9:5000: play: ok 20 ff ff ff (20)"));
    QTRY_COMPARE(told.size(), 21);
    QCOMPARE(told.last(), QStringLiteral("980 more reports; the last: tcp 10.0.0.9:5000: play: ok 20 ff ff ff (1000)"));
    // Quiet again, a report is told as it comes.
    QTest::qWait(150);
    report(QStringLiteral("stopping"));
    QCOMPARE(told.last(), QStringLiteral("stopping"));
}

QTEST_GUILESS_MAIN(IntakeTest)
#include "tst_intake.moc"
