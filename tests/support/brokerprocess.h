#pragma once

#include "tests/support/toolrun.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <unistd.h>

// A real Mosquitto for the tests of the fleet, on loopback ports of its own.

inline constexpr int brokerAnswerMs = 10000;

inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A Mosquitto of the test's own, restarted on the same ports and files.
class Broker
{
public:
    bool start(const QString &config)
    {
        m_config = config;
        // Started as root, Mosquitto would drop to its own user, who cannot
        // write the test's persistence folder.
        QFile file(m_dir.filePath(QStringLiteral("mosquitto.conf")));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(
            ((::geteuid() == 0 ? QStringLiteral("user root\n") : QString()) + "log_type error\n" + config).toUtf8());
        file.close();
        return restart();
    }
    bool restart()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("mosquitto"), {"-c", m_dir.filePath(QStringLiteral("mosquitto.conf"))});
        static const QRegularExpression listener(QStringLiteral("listener (\\d+)"));
        auto ports = listener.globalMatch(m_config);
        while (ports.hasNext()) {
            const quint16 port = quint16(ports.next().captured(1).toUInt());
            const bool up = QTest::qWaitFor(
                [&] {
                    QTcpSocket probe;
                    probe.connectToHost(QHostAddress::LocalHost, port);
                    return probe.waitForConnected(200);
                },
                brokerAnswerMs);
            if (!up)
                return false;
        }
        return true;
    }
    void stop(int signal)
    {
        signalProcess(m_process, signal);
        m_process.waitForFinished(brokerAnswerMs);
    }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    ~Broker() { stop(SIGKILL); }

private:
    QTemporaryDir m_dir;
    QString m_config;
    QProcess m_process;
};
