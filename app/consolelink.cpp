#include "app/consolelink.h"
#include "app/portwatcher.h"
#include "link/playerlink.h"
#include "link/portnames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPort>

namespace {

// The window's texts, in its context of the translation.
QString windowText(const char *source)
{
    return QCoreApplication::translate("MainWindow", source);
}

bool portIsPresent(const QString &portName, const QStringList &listed)
{
#if defined(Q_OS_UNIX)
    Q_UNUSED(listed);
    // Follows links, so a /dev/serial/by-id name counts once its device is back.
    return QFileInfo::exists(devicePath(portName));
#else
    return listed.contains(portName, Qt::CaseInsensitive);
#endif
}

// A pseudo-terminal named by its number is never the same device again: a
// new one that gets the number belongs to whoever opened it. A name that is
// a link (by-id, by-path, a virtual device's own link) stands for the device
// wherever it comes back, so only the number itself counts here.
bool isNumberedPseudoTerminal(const QString &portName)
{
    const QString path = QDir::cleanPath(devicePath(portName));
    return path.startsWith(QLatin1String("/dev/pts/"))
           || QRegularExpression(QStringLiteral("^/dev/ttys[0-9]+$")).match(path).hasMatch();
}

} // namespace

ConsoleLink::ConsoleLink(QSerialPort *port, Choices choices, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_choices(std::move(choices))
    , m_watcher(new PortWatcher(this))
{
    PlayerLink::Options options;
    options.port = port;
    options.reopenByItself = false;
    options.refuseBesideForeignEndpoint = false;
    m_link = new PlayerLink(QString(), options, this);
    m_intake = new CommandIntake(m_link, this);
    m_link->serveEndpoint(m_intake);
    connect(m_link, &PlayerLink::failed, this, &ConsoleLink::linkFailed);
    connect(m_watcher, &PortWatcher::devicesChanged, this, &ConsoleLink::reopenIfBack);
    connect(m_watcher, &PortWatcher::openPortLost, this, &ConsoleLink::lost);
}

bool ConsoleLink::isOpen() const
{
    return m_link->isOpen();
}

// The port itself, or the program that holds it (a bridge of this user's),
// which then sends the window's commands on it.
bool ConsoleLink::openLink(const QString &portName, QString *error)
{
    m_link->retarget(portName, m_choices.baudRate());
    if (!m_link->open(error))
        return false;
    m_portName = portName;
    m_pseudoTerminal = isNumberedPseudoTerminal(portName);
    m_awaited = false;
    m_watcher->watchPath(QString());
    if (m_link->holdsPort())
        m_watcher->watchOpenPort(m_port);
    emit openChanged();
    return true;
}

// "Open", or through whom when another program holds the port, with a word
// when other programs cannot reach the console: their commands are then
// refused, and the operator should know why before a scheduled announcement
// fails.
QString ConsoleLink::openedText(const QString &opened) const
{
    if (m_link->throughOwner())
        return windowText(QT_TRANSLATE_NOOP("MainWindow", "%1 through %2, which holds the port"))
            .arg(opened, m_link->ownerName());
    if (m_link->endpointProblem().isEmpty())
        return opened;
    return windowText(QT_TRANSLATE_NOOP("MainWindow", "%1; other programs cannot reach the console: %2"))
        .arg(opened, m_link->endpointProblem());
}

QString ConsoleLink::open(const QString &portName)
{
    m_awaited = false;
    m_watcher->watchPath(QString());
    QString error;
    if (openLink(portName, &error))
        return openedText(windowText(QT_TRANSLATE_NOOP("MainWindow", "Open")));
    return portName.isEmpty() ? windowText(QT_TRANSLATE_NOOP("MainWindow", "No serial port")) : error;
}

QString ConsoleLink::openAtStart(const QString &portName)
{
    if (portName.isEmpty() || portIsPresent(portName, m_watcher->ports()))
        return open(portName);
    await(portName);
    return windowText(QT_TRANSLATE_NOOP("MainWindow", "Waiting for %1")).arg(portName);
}

// Closing, not the process end, removes the port's lock file and lifts its
// exclusive use, so that another program or user may open it afterwards.
QString ConsoleLink::close()
{
    m_awaited = false;
    m_watcher->watchPath(QString());
    m_link->close();
    emit openChanged();
    return windowText(QT_TRANSLATE_NOOP("MainWindow", "Close"));
}

void ConsoleLink::await(const QString &portName)
{
    m_portName = portName;
    m_awaited = true;
    m_watcher->watchPath(devicePath(portName));
}

void ConsoleLink::lost()
{
    if (!m_link->isOpen())
        return;
    m_link->close();
    showLost();
}

void ConsoleLink::showLost()
{
    if (m_pseudoTerminal) {
        m_awaited = false;
        m_watcher->watchPath(QString());
        emit statusChanged(
            windowText(QT_TRANSLATE_NOOP("MainWindow", "Serial port lost: %1 (a pseudo-terminal does not come back)"))
                .arg(m_portName));
    } else {
        await(m_portName);
        emit statusChanged(windowText(QT_TRANSLATE_NOOP("MainWindow", "Serial port lost: %1")).arg(m_portName));
    }
    emit openChanged();
}

// The way failed while in use: the line was lost, or the program that held
// the port let go of it, which the console then takes over.
void ConsoleLink::linkFailed()
{
    QString error;
    if (m_link->failedThroughOwner() && openLink(m_portName, &error))
        return emit statusChanged(
            openedText(windowText(QT_TRANSLATE_NOOP("MainWindow", "Serial port reconnected: %1")).arg(m_portName)));
    showLost();
}

void ConsoleLink::reopenIfBack()
{
    if (!m_awaited || m_link->isOpen() || !m_choices.autoReconnect() || !portIsPresent(m_portName, m_watcher->ports()))
        return;
    // Not yet usable (udev may still be setting its permissions): the next
    // change of the devices tries again.
    QString error;
    emit statusChanged(openLink(m_portName, &error) ? openedText(
                           windowText(QT_TRANSLATE_NOOP("MainWindow", "Serial port reconnected: %1")).arg(m_portName))
                                                    : error);
}
