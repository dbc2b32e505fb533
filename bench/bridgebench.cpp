// How fast a line from the network becomes bytes on the wire through the
// real tunaris-bridge, on loopback, with a pseudo-terminal as the player.
//
// (a) line to wire: from sending "play\n" over TCP until its four bytes can
//     be read at the far end, one line at a time; median and 99th percentile;
// (b) commands per second, every frame arriving, for one TCP client sending
//     its lines back to back and for 16 clients at once (from four loopback
//     addresses, as one address holds only a share of the slots);
// (c) datagram to wire, for a bridge on UDP, while another sender floods it
//     with about 20,000 datagrams a second that it must refuse: how many of
//     the good ones get through, and how fast.
#include "bench/benchtime.h"
#include "tests/support/ptypair.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int samples = 2000;
constexpr int linesPerClient = 2000;

quint16 startBridge(QProcess &bridge, const QString &port, const QStringList &options = {})
{
    bridge.setReadChannel(QProcess::StandardError);
    bridge.start(QStringLiteral(BRIDGE_PATH), QStringList{"--port", port, "--listen", "127.0.0.1:0"} + options);
    static const QRegularExpression listening(QStringLiteral("listening on .*:(\\d+) \\("));
    for (int waited = 0; waited < 100; ++waited) {
        bridge.waitForReadyRead(50);
        const QRegularExpressionMatch found = listening.match(QString::fromUtf8(bridge.peek(1 << 16)));
        if (found.hasMatch())
            return quint16(found.captured(1).toUInt());
    }
    return 0;
}

bool measureLatency(PtyPair &pty, quint16 port, const char *what)
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!client.waitForConnected(2000))
        return false;
    client.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    std::vector<double> times;
    for (int round = 0; round < samples + 200; ++round) {
        const Clock::time_point sent = Clock::now();
        client.write("play\n");
        client.flush();
        const QByteArray frame = pty.read(4, 2000);
        const Clock::time_point arrived = Clock::now();
        if (frame != QByteArray("\x20\xff\xff\xff", 4))
            return false;
        while (!client.canReadLine())
            client.waitForReadyRead(2000);
        client.readLine();
        if (round >= 200)
            times.push_back(microseconds(arrived - sent));
    }
    std::sort(times.begin(), times.end());
    std::printf("%s: median %.0f us, p99 %.0f us, max %.0f us\n", what, percentile(times, 0.5), percentile(times, 0.99),
                times.back());
    return true;
}

double measureRate(PtyPair &pty, quint16 port, int clients, const char *firstAddress)
{
    // The clients of the run before must have left their slots.
    QThread::msleep(1000);
    const int expected = clients * linesPerClient * 4;
    std::atomic<int> received = 0;
    std::atomic<bool> inOrder = true;
    std::thread reader([&] {
        while (received < expected) {
            const QByteArray more = pty.read(expected - received, 5000);
            if (more.isEmpty())
                break;
            for (qsizetype i = 0; i < more.size(); ++i) {
                if (quint8(more[i]) != ((received + i) % 4 == 0 ? 0x22 : 0xff))
                    inOrder = false;
            }
            received += int(more.size());
        }
    });
    const Clock::time_point start = Clock::now();
    // Sockets want threads the toolkit started.
    std::vector<std::unique_ptr<QThread>> senders;
    for (int c = 0; c < clients; ++c) {
        const QHostAddress from(QHostAddress(firstAddress).toIPv4Address() + quint32(c % 4));
        senders.emplace_back(QThread::create([port, from] {
            QTcpSocket client;
            client.bind(from, 0);
            client.connectToHost(QHostAddress::LocalHost, port);
            if (!client.waitForConnected(2000))
                return;
            client.write(QByteArray("stop\n").repeated(linesPerClient));
            int answers = 0;
            while (answers < linesPerClient && client.waitForReadyRead(5000)) {
                while (client.canReadLine()) {
                    client.readLine();
                    ++answers;
                }
            }
        }));
        senders.back()->start();
    }
    for (const auto &sender : senders)
        sender->wait();
    reader.join();
    const double seconds = microseconds(Clock::now() - start) / 1e6;
    if (received != expected || !inOrder)
        return 0;
    return clients * linesPerClient / seconds;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    PtyPair pty;
    QProcess bridge;
    const quint16 port = pty.isValid() ? startBridge(bridge, pty.slavePath()) : 0;
    if (port == 0) {
        std::printf("cannot start the bridge on a pseudo-terminal\n");
        return 2;
    }
    std::printf("tunaris-bridge on %s, TCP on 127.0.0.1:%u, %d samples\n", qPrintable(pty.slavePath()), port, samples);
    bool whole = measureLatency(pty, port, "(a) line to wire");
    for (const auto &[clients, from] : {std::pair{1, "127.0.0.1"}, {16, "127.0.0.2"}}) {
        const double rate = measureRate(pty, port, clients, from);
        whole = whole && rate > 0;
        std::printf("(b) %2d client%s, %d lines each: %.0f commands/s%s\n", clients, clients > 1 ? "s" : " ",
                    linesPerClient, rate, rate > 0 ? ", every frame in order" : ", FRAMES LOST");
    }
    std::printf("    (a line at 115200 baud carries about 2,900 frames/s; this pseudo-terminal has no baud limit)\n");

    PtyPair udpPty;
    QProcess udpBridge;
    const quint16 udpPort = startBridge(udpBridge, udpPty.slavePath(), {"--udp"});
    std::atomic<bool> stop = false;
    std::unique_ptr<QThread> flood(QThread::create([&] {
        QUdpSocket sender;
        const QByteArray refused[] = {"plya", QByteArray(300, 'x'), "folder 1000", QByteArray("\x80\x81", 2)};
        // About 20,000 a second, seven times what the line carries.
        for (int i = 0; !stop; ++i) {
            sender.writeDatagram(refused[i % 4], QHostAddress::LocalHost, udpPort);
            if (i % 20 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }));
    flood->start();
    QUdpSocket good;
    std::vector<double> times;
    int lost = 0;
    for (int round = 0; round < 500; ++round) {
        const Clock::time_point sent = Clock::now();
        good.writeDatagram("play", QHostAddress::LocalHost, udpPort);
        const QByteArray frame = udpPty.read(4, 1000);
        if (frame == QByteArray("\x20\xff\xff\xff", 4))
            times.push_back(microseconds(Clock::now() - sent));
        else
            ++lost;
    }
    stop = true;
    flood->wait();
    std::sort(times.begin(), times.end());
    if (times.empty()) {
        std::printf("(c) datagram to wire under a flood: NOTHING ARRIVED\n");
        whole = false;
    } else {
        std::printf("(c) datagram to wire under a flood of refused datagrams: %d of 500 arrived, median %.0f us, "
                    "p99 %.0f us\n",
                    500 - lost, percentile(times, 0.5), percentile(times, 0.99));
    }
    udpBridge.terminate();
    udpBridge.waitForFinished(2000);
    bridge.terminate();
    bridge.waitForFinished(2000);
    if (!whole) // what the bridge said of it
        std::printf("%s", bridge.readAllStandardError().constData());
    return whole ? 0 : 1;
}
