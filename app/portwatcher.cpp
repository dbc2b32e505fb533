#include "app/portwatcher.h"
#include "app/portquery.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <memory>
#include <utility>

#if defined(Q_OS_WIN)
#include <QAbstractNativeEventFilter>

#include <windows.h>
// Needs the types of windows.h.
#include <dbt.h>
#endif

namespace {

// A plugged adapter shows up as several changes within a few milliseconds:
// the device node, its permissions, then udev's links. One query after they
// settle sees them all.
constexpr int settleMs = 200;

// The folder to watch for a path to (re)appear: its own, or the nearest one
// above it that exists (/dev/serial/by-id vanishes with the last adapter).
QString nearestExistingFolder(const QString &path)
{
    QFileInfo folder(QFileInfo(path).absolutePath());
    while (!folder.isDir() && !folder.isRoot())
        folder.setFile(folder.absolutePath());
    return folder.isDir() ? folder.absoluteFilePath() : QString();
}

} // namespace

#if defined(Q_OS_WIN)
// Windows announces arriving and departing ports to every top-level window.
class PortWatcher::DeviceChangeFilter : public QAbstractNativeEventFilter
{
public:
    explicit DeviceChangeFilter(PortWatcher *watcher)
        : m_watcher(watcher)
    {
    }

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
        const MSG *msg = static_cast<const MSG *>(message);
        if (type == "windows_generic_MSG" && msg->message == WM_DEVICECHANGE
            && (msg->wParam == DBT_DEVICEARRIVAL || msg->wParam == DBT_DEVICEREMOVECOMPLETE
                || msg->wParam == DBT_DEVNODES_CHANGED))
            m_watcher->somethingChanged();
        return false;
    }

private:
    PortWatcher *m_watcher;
};
#else
class PortWatcher::DeviceChangeFilter
{
};
#endif

PortWatcher::PortWatcher(QObject *parent)
    : QObject(parent)
    , m_folders(portSource().folders)
    , m_folderWatch(new QFileSystemWatcher(this))
    , m_settle(new QTimer(this))
{
    m_settle->setSingleShot(true);
    m_settle->setInterval(settleMs);
    connect(m_settle, &QTimer::timeout, this, &PortWatcher::startQuery);
    connect(m_folderWatch, &QFileSystemWatcher::directoryChanged, this, &PortWatcher::somethingChanged);
    updateWatchedFolders();
#if defined(Q_OS_WIN)
    m_deviceChanges = new DeviceChangeFilter(this);
    QCoreApplication::instance()->installNativeEventFilter(m_deviceChanges);
#endif
}

PortWatcher::~PortWatcher()
{
#if defined(Q_OS_WIN)
    QCoreApplication::instance()->removeNativeEventFilter(m_deviceChanges);
    delete m_deviceChanges;
#endif
    // A query still running finishes in a few milliseconds; its answer has
    // nowhere to go.
    if (m_query)
        m_query->wait();
}

void PortWatcher::watchPath(const QString &path)
{
    m_watchedPath = path;
    updateWatchedFolders();
}

void PortWatcher::watchOpenPort(QSerialPort *port)
{
#if defined(Q_OS_UNIX)
    // A tty whose device is gone is hung up: poll() reports an error on it
    // from then on, which an exception notifier sees without reading from a
    // write-only port. It never fires on a healthy tty.
    delete m_hangUp;
    m_hangUp = new QSocketNotifier(port->handle(), QSocketNotifier::Exception, this);
    connect(m_hangUp, &QSocketNotifier::activated, this, [this] {
        m_hangUp->setEnabled(false);
        emit openPortLost();
    });
    // The descriptor must leave the event loop before it is closed.
    connect(port, &QIODevice::aboutToClose, m_hangUp, [this] {
        m_hangUp->setEnabled(false);
        m_hangUp->deleteLater();
    });
#else
    Q_UNUSED(port);
#endif
}

void PortWatcher::refresh()
{
    // A settling change is seen by this query as well.
    m_settle->stop();
    if (m_query)
        m_changedDuringQuery = true;
    else
        startQuery();
}

void PortWatcher::somethingChanged()
{
    updateWatchedFolders();
    if (m_query)
        m_changedDuringQuery = true;
    else if (!m_settle->isActive())
        m_settle->start();
}

void PortWatcher::startQuery()
{
    auto answer = std::make_shared<QStringList>();
    m_query = QThread::create([answer, query = portSource().query] { *answer = query(); });
    m_query->setParent(this);
    connect(m_query, &QThread::finished, this, [this, answer] {
        m_query->deleteLater();
        m_query = nullptr;
        queryAnswered(*answer);
    });
    m_query->start();
}

void PortWatcher::queryAnswered(const QStringList &ports)
{
    m_listed = true;
    if (ports != m_ports) {
        const QStringList before = std::exchange(m_ports, ports);
        emit portsChanged(m_ports, before);
    }
    emit devicesChanged();
    if (std::exchange(m_changedDuringQuery, false))
        m_settle->start();
}

void PortWatcher::updateWatchedFolders()
{
    QStringList wanted;
    for (const QString &folder : m_folders) {
        if (QFileInfo(folder).isDir())
            wanted << folder;
    }
    if (!m_watchedPath.isEmpty()) {
        const QString folder = nearestExistingFolder(m_watchedPath);
        if (!folder.isEmpty() && !wanted.contains(folder))
            wanted << folder;
    }
    const QStringList watched = m_folderWatch->directories();
    for (const QString &folder : watched) {
        if (!wanted.contains(folder))
            m_folderWatch->removePath(folder);
    }
    for (const QString &folder : wanted) {
        if (!watched.contains(folder))
            m_folderWatch->addPath(folder);
    }
}
