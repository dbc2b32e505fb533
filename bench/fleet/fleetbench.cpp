// A fleet on one machine: one local Mosquitto and N real tunaris-bridge
// processes (50 unless given), each on a pseudo-terminal of its own, all in
// the group "all".
//
// (a) group command to wire: from publishing one command to the group until
//     its four bytes can be read on the last of the N lines; median, 99th
//     percentile and maximum;
// (b) the bridges at rest with the broker connected: resident memory, and
//     processor time over an idle period (30 s unless given), per bridge and
//     for the broker;
// (c) commands per second for one player, every frame arriving in order:
//     one request at a time (each waits for its reply), and with up to 32
//     waiting for their replies;
// (d) tunaris-send's group command, as an office runs it: from starting the
//     program until it exits, every member having answered ok; median and
//     99th percentile; then with one member stopped (its state offline).
//
//     tunaris-fleet-bench [BRIDGES] [IDLE_SECONDS] [nagle]
//
// The broker sends without delay (set_tcp_nodelay), as the README advises;
// "nagle" leaves Mosquitto's default, which holds small packets back.
#include "bench/benchtime.h"
#include "fleet/mqttclient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int groupRounds = 200;
constexpr int playerCommands = 3000;
constexpr int window = 32;
constexpr int sendRounds = 40;
constexpr int offlineRounds = 3;

struct Player
{
    int master = -1;
    int slave = -1;
    QString path;
    std::unique_ptr<QProcess> bridge;
    int got = 0;
};

double milliseconds(Clock::duration duration)
{
    return microseconds(duration) / 1000.0;
}

bool openPty(Player &player)
{
    char name[256] = {};
    if (::openpty(&player.master, &player.slave, name, nullptr, nullptr) != 0)
        return false;
    termios settings{};
    ::tcgetattr(player.slave, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(player.slave, TCSANOW, &settings);
    ::fcntl(player.master, F_SETFL, ::fcntl(player.master, F_GETFL) | O_NONBLOCK);
    for (const int end : {player.master, player.slave})
        ::fcntl(end, F_SETFD, ::fcntl(end, F_GETFD) | FD_CLOEXEC);
    player.path = QString::fromLocal8Bit(name);
    return true;
}

// Reads what is there on every line; the bytes of each line count towards `got`.
QByteArray drain(std::vector<Player> &players, int timeoutMs, size_t keep = SIZE_MAX)
{
    std::vector<pollfd> fds;
    for (const Player &player : players)
        fds.push_back({player.master, POLLIN, 0});
    QByteArray kept;
    if (::poll(fds.data(), nfds_t(fds.size()), timeoutMs) <= 0)
        return kept;
    for (size_t i = 0; i < players.size(); ++i) {
        if (!(fds[i].revents & POLLIN))
            continue;
        char buffer[4096];
        const ssize_t got = ::read(players[i].master, buffer, sizeof buffer);
        if (got > 0) {
            players[i].got += int(got);
            if (i == keep)
                kept.append(buffer, int(got));
        }
    }
    return kept;
}

// utime + stime, in clock ticks.
long long cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

long long residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

template<typename Done> bool runUntil(Done done, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return done();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    const int idleSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
    const bool nagle = argc > 3 && QByteArray(argv[3]) == "nagle";

    QTemporaryDir dir;
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    QFile config(dir.filePath(QStringLiteral("mosquitto.conf")));
    config.open(QIODevice::WriteOnly);
    config.write(QStringLiteral("%1listener %2 127.0.0.1\nallow_anonymous true\nlog_type error\nset_tcp_nodelay %3\n")
                     .arg(::geteuid() == 0 ? QStringLiteral("user root\n") : QString())
                     .arg(port)
                     .arg(nagle ? "false" : "true")
                     .toUtf8());
    config.close();
    QProcess broker;
    broker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    broker.start(QStringLiteral("mosquitto"), {"-c", config.fileName()});
    const bool brokerUp = runUntil(
        [&] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            return socket.waitForConnected(100);
        },
        10000);
    if (!brokerUp) {
        std::fprintf(stderr, "mosquitto did not start\n");
        return 2;
    }
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.path()));

    std::vector<Player> players(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Player &player = players[size_t(i)];
        if (!openPty(player)) {
            std::fprintf(stderr, "no pseudo-terminal\n");
            return 2;
        }
        player.bridge = std::make_unique<QProcess>();
        player.bridge->setReadChannel(QProcess::StandardError);
        player.bridge->start(QStringLiteral(BRIDGE_PATH),
                             {"--port", player.path, "--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(port),
                              "--player", QStringLiteral("bench-%1").arg(i + 1, 2, 10, QLatin1Char('0')), "--group",
                              "all"});
    }
    const bool joined = runUntil(
        [&] {
            return std::all_of(players.begin(), players.end(), [](const Player &player) {
                return player.bridge->peek(1 << 16).contains("taking the commands of");
            });
        },
        60000);
    if (!joined) {
        std::fprintf(stderr, "not every bridge joined the broker\n");
        return 1;
    }
    std::printf("%d bridges on pseudo-terminals, one Mosquitto on 127.0.0.1:%u (set_tcp_nodelay %s)\n\n", count, port,
                nagle ? "false" : "true");

    BrokerSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = port;
    MqttClient::Session session;
    session.clientId = QStringLiteral("tunaris-fleet-bench");
    MqttClient office(settings, session);
    int replies = 0;
    int refused = 0;
    QObject::connect(&office, &MqttClient::messageArrived, [&](const MqttMessage &message) {
        ++replies;
        if (!message.payload.startsWith("ok "))
            ++refused;
    });
    bool connected = false;
    QObject::connect(&office, &MqttClient::connected, [&] { connected = true; });
    QString error;
    if (!office.start(&error) || !runUntil([&] { return connected; }, 10000)) {
        std::fprintf(stderr, "the bench's client did not connect\n");
        return 1;
    }
    int subscription = office.subscribe({"tunaris/players/bench-01/reply"}, 0);
    bool subscribed = false;
    QObject::connect(&office, &MqttClient::subscribed,
                     [&](int mid) { subscribed = subscribed || mid == subscription; });
    runUntil([&] { return subscribed; }, 10000);

    // (a) One group command at a time; the bridges' replies and states
    // settle before the next.
    std::vector<double> groupMs;
    int lost = 0;
    for (int round = 0; round < groupRounds; ++round) {
        for (Player &player : players)
            player.got = 0;
        MqttPublish command;
        command.topic = "tunaris/groups/all/command";
        command.payload = round % 2 ? "play" : "stop";
        const Clock::time_point start = Clock::now();
        office.publish(command, &error);
        const QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()
               && std::any_of(players.begin(), players.end(), [](const Player &player) { return player.got < 4; }))
            drain(players, 100);
        if (std::any_of(players.begin(), players.end(), [](const Player &player) { return player.got != 4; }))
            ++lost;
        else
            groupMs.push_back(milliseconds(Clock::now() - start));
        runUntil([] { return false; }, 30);
        drain(players, 0);
    }
    std::sort(groupMs.begin(), groupMs.end());
    std::printf("(a) group command to the last of %d lines, %zu rounds: median %.2f ms, p99 %.2f ms, max %.2f ms; "
                "rounds with a frame missing or doubled: %d\n",
                count, groupMs.size(), percentile(groupMs, 0.5), percentile(groupMs, 0.99), groupMs.back(), lost);

    // (b) At rest.
    runUntil([] { return false; }, 2000);
    std::vector<double> resident;
    std::vector<long long> before;
    for (const Player &player : players) {
        resident.push_back(double(residentKiB(player.bridge->processId())) / 1024.0);
        before.push_back(cpuTicks(player.bridge->processId()));
    }
    const long long brokerBefore = cpuTicks(broker.processId());
    runUntil([] { return false; }, idleSeconds * 1000);
    std::vector<double> idle;
    const double ticks = double(::sysconf(_SC_CLK_TCK)) * idleSeconds;
    for (size_t i = 0; i < players.size(); ++i)
        idle.push_back(100.0 * double(cpuTicks(players[i].bridge->processId()) - before[i]) / ticks);
    double idleSum = 0;
    for (const double share : idle)
        idleSum += share;
    std::sort(resident.begin(), resident.end());
    std::printf("(b) at rest, broker connected: resident memory per bridge median %.1f MiB, max %.1f MiB; "
                "processor over %d s per bridge mean %.3f %%, max %.3f %% of a core (ticks of 10 ms); "
                "broker %.1f MiB, %.3f %%\n",
                percentile(resident, 0.5), resident.back(), idleSeconds, idleSum / double(idle.size()),
                *std::max_element(idle.begin(), idle.end()), double(residentKiB(broker.processId())) / 1024.0,
                100.0 * double(cpuTicks(broker.processId()) - brokerBefore) / ticks);

    // (c) One player: volume xlr -1 ... -64 over and over, in order.
    for (const int outstanding : {1, window}) {
        players[0].got = 0;
        replies = 0;
        refused = 0;
        QByteArray expected;
        QByteArray seen;
        const Clock::time_point start = Clock::now();
        int published = 0;
        while (replies < playerCommands) {
            while (published < playerCommands && published - replies < outstanding) {
                MqttPublish command;
                command.topic = "tunaris/players/bench-01/command";
                const int level = -(published % 64) - 1;
                command.payload = QByteArray("volume xlr ") + QByteArray::number(level);
                expected += QByteArray::fromHex("3000") + char(64 + level) + char(2);
                office.publish(command, &error);
                ++published;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            seen += drain(players, 1, 0);
            if (milliseconds(Clock::now() - start) > 60000)
                break;
        }
        const double seconds = milliseconds(Clock::now() - start) / 1000.0;
        // Every "ok" means its frame was handed to the system already.
        while (seen.size() < expected.size()) {
            const QByteArray more = drain(players, 200, 0);
            if (more.isEmpty())
                break;
            seen += more;
        }
        std::printf("(c) one player, %d waiting for their replies at most: %d commands in %.2f s, %.0f per second; "
                    "refused %d; frames in order and complete: %s\n",
                    outstanding, replies, seconds, double(replies) / seconds, refused, seen == expected ? "yes" : "NO");
    }

    // (d) tunaris-send --group all play, a program run at a time.
    const auto sendRound = [&](int *exitCode) {
        QProcess send;
        const Clock::time_point start = Clock::now();
        send.start(QStringLiteral(SEND_PATH),
                   {"--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(port), "--group", "all", "play"});
        send.waitForFinished(60000);
        *exitCode = send.exitCode();
        const double ms = milliseconds(Clock::now() - start);
        drain(players, 50);
        return ms;
    };
    const auto runSends = [&](int rounds, const char *what) {
        std::vector<double> sendMs;
        int failed = 0;
        for (int round = 0; round < rounds; ++round) {
            int exitCode = 0;
            const double ms = sendRound(&exitCode);
            if (exitCode == 0)
                sendMs.push_back(ms);
            else
                ++failed;
            runUntil([] { return false; }, 30);
        }
        std::sort(sendMs.begin(), sendMs.end());
        std::printf("(d) tunaris-send --group all play, %s: %zu runs answered ok by all: median %.1f ms, p99 %.1f ms; "
                    "runs with another exit status: %d\n",
                    what, sendMs.size(), sendMs.empty() ? 0.0 : percentile(sendMs, 0.5),
                    sendMs.empty() ? 0.0 : percentile(sendMs, 0.99), failed);
    };
    runSends(sendRounds, "every member online");
    {
        // Its state goes offline; the others still answer.
        Player &stopped = players.back();
        stopped.bridge->terminate();
        stopped.bridge->waitForFinished(5000);
        std::vector<double> offlineMs;
        for (int round = 0; round < offlineRounds; ++round) {
            int exitCode = 0;
            offlineMs.push_back(sendRound(&exitCode));
        }
        std::sort(offlineMs.begin(), offlineMs.end());
        std::printf("(d) the same with one member offline (exit status 1 or 3): %d runs, median %.1f ms, max %.1f ms\n",
                    offlineRounds, percentile(offlineMs, 0.5), offlineMs.back());
    }

    for (Player &player : players) {
        player.bridge->terminate();
        player.bridge->waitForFinished(5000);
        ::close(player.master);
        ::close(player.slave);
    }
    office.stop();
    broker.terminate();
    broker.waitForFinished(5000);
    return lost == 0 ? 0 : 1;
}
