#pragma once

#include "link/deviceserver.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A serial device server on this machine that takes connections one way:
// "good" reads all and closes when the client does; "resets after 2" reads
// two bytes and resets; "closes at once" closes without reading; "ends at
// once" ends its side as it accepts, never reads, and resets a moment
// later; "never reads" never accepts (its system takes the connection and
// the bytes all the same); "down" has stopped.
struct DeviceServerStub
{
    DeviceServerStub(const QString &host, const QString &behaviour)
    {
        if (behaviour == QLatin1String("never reads")) {
            silent = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t size = sizeof address;
            if (::bind(silent, reinterpret_cast<sockaddr *>(&address), size) != 0 || ::listen(silent, 4) != 0
                || ::getsockname(silent, reinterpret_cast<sockaddr *>(&address), &size) != 0)
                return;
            portName = QStringLiteral("tcp://127.0.0.1:%1").arg(ntohs(address.sin_port));
            return;
        }
        if (!server.listen(QHostAddress(host)))
            return;
        const QString bracketed = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
        portName = QStringLiteral("tcp://%1:%2").arg(bracketed).arg(server.serverPort());
        if (behaviour == QLatin1String("down"))
            server.close();
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this, behaviour] {
            QTcpSocket *client = server.nextPendingConnection();
            if (behaviour == QLatin1String("closes at once"))
                return client->close();
            if (behaviour == QLatin1String("ends at once")) {
                ::shutdown(int(client->socketDescriptor()), SHUT_WR);
                QTimer::singleShot(DeviceServerSend::EndPauseMs * 4, client, [client] {
                    const linger reset{1, 0};
                    ::setsockopt(int(client->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                    client->abort();
                });
                return;
            }
            QObject::connect(client, &QTcpSocket::readyRead, client, [this, behaviour, client] {
                if (behaviour == QLatin1String("good"))
                    return void(received += client->readAll());
                received += client->read(2);
                const linger reset{1, 0};
                ::setsockopt(int(client->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                client->abort();
            });
        });
    }
    ~DeviceServerStub()
    {
        if (silent >= 0)
            ::close(silent);
    }

    QTcpServer server;
    int silent = -1;
    QString portName; // empty when the server could not be made
    QByteArray received;
};
