#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal pair: the slave end is a real serial device that the
// console opens by path, the master end is the "device" the test reads.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }

    // Reads from the master end until `count` bytes arrived or `timeoutMs`
    // passed; returns what arrived.
    QByteArray read(int count, int timeoutMs = 2000);
    // Everything that arrives within `quietMs`, for checking that nothing
    // more was sent.
    QByteArray readRest(int quietMs = 50);
    // Sends bytes from the "device" to whoever has the slave end open.
    bool write(const QByteArray &bytes);

    // Makes the device vanish, as an unplugged adapter does.
    void closeMaster();
    void closeSlave();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};
