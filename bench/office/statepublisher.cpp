// Players' retained states published as their bridges publish them (the
// user property "player" and a message expiry of ten years, less the state's
// age), for the office's benchmark (run.py): hundreds of players without a
// process each, and a state change at the moment the benchmark asks.
//
//     tunaris-state-publisher PORT < lines
//
// Each line of standard input is PLAYER, a tab, AGE in seconds, a tab and the
// state's JSON (none: the state is removed). Once the broker acknowledged
// every line read so far, it prints "published N" on standard output.
#include "fleet/fleettopics.h"
#include "fleet/mqttclient.h"

#include <QCoreApplication>
#include <QSet>
#include <QSocketNotifier>

#include <cstdio>

#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tunaris-state-publisher PORT < lines\n");
        return 2;
    }
    BrokerSettings broker;
    broker.host = QStringLiteral("127.0.0.1");
    broker.port = quint16(QByteArray(argv[1]).toUInt());
    MqttClient::Session session;
    session.clientId = QStringLiteral("tunaris-state-publisher-%1").arg(::getpid());
    MqttClient client(broker, session);
    QSet<int> unacknowledged;
    int published = 0;
    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    input.setEnabled(false);
    const auto report = [&] {
        if (unacknowledged.isEmpty()) {
            std::printf("published %d\n", published);
            std::fflush(stdout);
        }
    };
    QObject::connect(&client, &MqttClient::connected, &input, [&] { input.setEnabled(true); });
    QObject::connect(&client, &MqttClient::published, &input, [&](int mid) {
        if (unacknowledged.remove(mid))
            report();
    });
    QObject::connect(&input, &QSocketNotifier::activated, &input, [&] {
        char buffer[65536];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0)
            return QCoreApplication::quit();
        pending.append(buffer, int(got));
        qsizetype end = 0;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QList<QByteArray> fields = pending.left(end).split('\t');
            pending.remove(0, end + 1);
            if (fields.size() != 3)
                continue;
            const QString player = QString::fromUtf8(fields.at(0));
            MqttPublish state;
            state.topic = FleetTopics::playerState(player);
            state.payload = fields.at(2);
            state.retain = true;
            if (!state.payload.isEmpty()) {
                state.expirySeconds = FleetTopics::StateExpirySeconds - fields.at(1).toUInt();
                state.userProperties << qMakePair(QByteArray(FleetTopics::PlayerProperty), fields.at(0));
            }
            QString error;
            if (const int mid = client.publish(state, &error)) {
                unacknowledged.insert(mid);
                ++published;
            }
        }
    });
    QString error;
    if (!client.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    return application.exec();
}
