#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>

class QFileSystemWatcher;
class QSerialPort;
class QSocketNotifier;
class QThread;
class QTimer;

// Follows the serial ports while the console runs: tells when an adapter was
// plugged in or pulled out, and when the device of the open port vanished.
// Idle it costs nothing: it waits for the system's own notices (a watch on
// the device folders on Linux, device-change messages on Windows) and runs
// the port query, which walks the device database, on a worker thread.
class PortWatcher : public QObject
{
    Q_OBJECT

public:
    // Starts with no list: the first comes from refresh().
    explicit PortWatcher(QObject *parent = nullptr);
    ~PortWatcher() override;

    QStringList ports() const { return m_ports; }
    // Whether the system has answered once. Until then an empty list says
    // nothing about which ports are there.
    bool hasListed() const { return m_listed; }

    // Asks the system for its ports now rather than on its next notice: the
    // window's first list. The answer comes as the signals below.
    void refresh();

    // Also watches for this device path, which the system may not list (a
    // pseudo-terminal, a /dev/serial/by-id link), to come back; empty: none.
    void watchPath(const QString &path);

    // Watches the open port's device until the port closes; a device that
    // hangs up (unplugged, switched off, its far end gone) is reported even
    // while nothing is written. Where the system reports it as a port error
    // instead, this does nothing.
    void watchOpenPort(QSerialPort *port);

signals:
    // The system's list differs from the one before.
    void portsChanged(const QStringList &ports, const QStringList &before);
    // Devices came or went, listed or not; follows portsChanged.
    void devicesChanged();
    void openPortLost();

private:
    void somethingChanged();
    void startQuery();
    void queryAnswered(const QStringList &ports);
    void updateWatchedFolders();

    QStringList m_ports;
    bool m_listed = false;
    QStringList m_folders;
    QString m_watchedPath;
    QFileSystemWatcher *m_folderWatch = nullptr;
    QTimer *m_settle = nullptr;
    QThread *m_query = nullptr;
    bool m_changedDuringQuery = false;
    QPointer<QSocketNotifier> m_hangUp;
    class DeviceChangeFilter;
    DeviceChangeFilter *m_deviceChanges = nullptr;
};
