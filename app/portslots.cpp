#include "app/mainwindow.h"
#include "app/portquery.h"
#include "app/portwatcher.h"
#include "link/lineflow.h"
#include "link/linesettings.h"
#include "link/portaccess.h"
#include "link/portendpoint.h"
#include "link/portnames.h"
#include "ui_mainwindow.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTimer>

namespace {

// How long closing waits for queued frames to reach the system before it
// closes the port: at 9600 baud a single frame takes about 4 ms on the line,
// and a window must not freeze behind a line that stopped.
constexpr int flushTimeoutMs = 2000;

// Longer than any device path; keeps a pasted text out of the settings file.
constexpr int maxTypedPortLength = 1024;

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

// The status of an open link, with a word when other programs cannot reach
// the console: their commands are then refused, and the operator should know
// why before a scheduled announcement fails.
QString withEndpointState(const QString &status, const PortEndpoint *endpoint)
{
    if (!endpoint || endpoint->problem().isEmpty())
        return status;
    return MainWindow::tr("%1; other programs cannot reach the console: %2").arg(status, endpoint->problem());
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

void MainWindow::fillSerialCombos()
{
    QComboBox *ports = ui->comboBox_Serial_Port;
    // A typed name is opened as typed: no completion may turn COM1 into COM12.
    ports->setCompleter(nullptr);
    ports->lineEdit()->setMaxLength(maxTypedPortLength);
    // Empty until the window is shown: see listPortsOnceShown().
    portWatcher = new PortWatcher(this);
    connect(portWatcher, &PortWatcher::portsChanged, this, &MainWindow::showPorts);
    connect(portWatcher, &PortWatcher::devicesChanged, this, &MainWindow::reconnectIfBack);
    connect(portWatcher, &PortWatcher::openPortLost, this, &MainWindow::handlePortLost);
    // However the port closes, its endpoint goes with it, answering what it
    // took. Deleted later: the port may close while it sends for a client.
    connect(serialPort, &QIODevice::aboutToClose, this, [this] {
        linkOpenedHere = false;
        if (endpoint) {
            endpoint->shutDown();
            endpoint->deleteLater();
        }
        endpoint = nullptr;
    });

    for (const qint32 rate : supportedBaudRates())
        ui->comboBox_Serial_Baudrate->addItem(QString::number(rate));
    ui->comboBox_Serial_Baudrate->setCurrentIndex(ui->comboBox_Serial_Baudrate->count() - 1);
}

// The list follows the system. The port shown stays unless it was one the
// system listed and no longer does: a typed or saved name, the open port and
// a port awaited back are kept even while the system does not list them.
void MainWindow::showPorts(const QStringList &ports, const QStringList &before)
{
    QComboBox *combo = ui->comboBox_Serial_Port;
    const QString shown = combo->currentText();
    const bool typed = combo->findText(shown) < 0;
    const bool keep = !shown.isEmpty()
                      && (ports.contains(shown) || !before.contains(shown)
                          || (shown == linkPort && (serialPort->isOpen() || awaitingPort)));
    const int cursor = combo->lineEdit()->cursorPosition();

    combo->clear();
    combo->addItems(ports);
    if (!keep)
        return;
    if (typed) {
        combo->setCurrentText(shown);
    } else {
        if (!ports.contains(shown))
            combo->addItem(shown);
        // The item itself, not only its text, so that the open list marks it.
        combo->setCurrentIndex(combo->findText(shown));
    }
    combo->lineEdit()->setCursorPosition(cursor);
}

void MainWindow::updateConnectionWidgets()
{
    const bool open = serialPort->isOpen();
    using Widgets = std::initializer_list<QWidget *>;
    for (QWidget *widget : Widgets{ui->pushButton_Open, ui->comboBox_Serial_Port, ui->comboBox_Serial_Baudrate})
        widget->setEnabled(!open);
    for (QWidget *widget : Widgets{ui->groupBox_Transport, ui->groupBox_Folder, ui->groupBox_Playlist,
                                   ui->groupBox_Spot, ui->groupBox_Source, ui->groupBox_WebRadio, ui->groupBox_FTP,
                                   ui->groupBox_Volume, ui->pushButton_Close})
        widget->setEnabled(open);
}

bool MainWindow::openLink(const QString &portName)
{
    configureLine(*serialPort, portName, ui->comboBox_Serial_Baudrate->currentText().toInt());
    if (isPseudoTerminalMultiplexer(portName) || !serialPort->open(SendOpenMode))
        return false;
    linkPort = portName;
    linkOpenedHere = true;
    linkIsPseudoTerminal = isNumberedPseudoTerminal(portName);
    awaitingPort = false;
    portWatcher->watchPath(QString());
    portWatcher->watchOpenPort(serialPort);
    // Without an endpoint the link still works; other programs are then
    // told that the console holds the port, and the status line says why.
    endpoint = new PortEndpoint(
        portName, serialPort, [this](const PlayerCommand &command) { return sendForAnotherProgram(command); }, this);
    endpoint->listen();
    return true;
}

void MainWindow::showOpenFailure(const QString &portName)
{
    ui->label_Status->setText(openFailureText(portName, diagnoseOpenFailure(portName, *serialPort)));
}

// Commands from the port's endpoint take the buttons' way to the wire, so
// frames never interleave and each is echoed like a click.
QString MainWindow::sendForAnotherProgram(const PlayerCommand &command)
{
    if (!serialPort->isOpen())
        return QStringLiteral("the serial port is closed");
    if (!sendCommand(command))
        return QStringLiteral("not sent: %1").arg(serialPort->errorString());
    return QString();
}

void MainWindow::awaitPort(const QString &portName)
{
    linkPort = portName;
    awaitingPort = true;
    portWatcher->watchPath(devicePath(portName));
}

void MainWindow::on_pushButton_Open_clicked()
{
    const QString portName = ui->comboBox_Serial_Port->currentText();
    awaitingPort = false;
    portWatcher->watchPath(QString());

    if (openLink(portName))
        ui->label_Status->setText(withEndpointState(tr("Open"), endpoint));
    else if (portName.isEmpty())
        ui->label_Status->setText(tr("No serial port"));
    else
        showOpenFailure(portName);
    updateConnectionWidgets();
}

// The system's ports are asked for on the first turn of the event loop, which
// in the program comes after the window is shown: the query walks the device
// database, the longest single step of the start, and run beside the window's
// construction it took a processor from it on a busy machine. A saved
// auto-connection waits for that first list, which alone tells on some
// systems whether the saved port is there.
void MainWindow::listPortsOnceShown()
{
    if (ui->checkBox_AutoConnect->isChecked())
        connect(portWatcher, &PortWatcher::devicesChanged, this, &MainWindow::connectAtStart, Qt::SingleShotConnection);
    QTimer::singleShot(0, portWatcher, &PortWatcher::refresh);
}

// A saved port that is not there yet is waited for: opening whatever else
// is listed would send the player's commands to another device.
void MainWindow::connectAtStart()
{
    // The operator may have been quicker than the list.
    if (serialPort->isOpen() || !ui->checkBox_AutoConnect->isChecked())
        return;
    const QString portName = ui->comboBox_Serial_Port->currentText();
    if (portName.isEmpty() || portIsPresent(portName, portWatcher->ports())) {
        on_pushButton_Open_clicked();
        return;
    }
    awaitPort(portName);
    ui->label_Status->setText(tr("Waiting for %1").arg(portName));
}

// Closing, not the process end, removes the port's lock file and lifts its
// exclusive use, so that another program or user may open it afterwards.
void MainWindow::releasePort()
{
    // The port only queues writes; hand every echoed frame to the system
    // before closing, or close() would discard it.
    const QDeadlineTimer deadline(flushTimeoutMs);
    while (serialPort->isOpen() && serialPort->bytesToWrite() > 0
           && serialPort->waitForBytesWritten(int(deadline.remainingTime()))) {}
    serialPort->close();
}

void MainWindow::on_pushButton_Close_clicked()
{
    // Closed by the operator: never reopened by itself.
    awaitingPort = false;
    portWatcher->watchPath(QString());
    releasePort();
    if (!serialPort->isOpen())
        ui->label_Status->setText(tr("Close"));
    updateConnectionWidgets();
}

void MainWindow::handlePortLost()
{
    if (!serialPort->isOpen())
        return;
    serialPort->close();
    if (linkIsPseudoTerminal) {
        awaitingPort = false;
        portWatcher->watchPath(QString());
        ui->label_Status->setText(tr("Serial port lost: %1 (a pseudo-terminal does not come back)").arg(linkPort));
    } else {
        awaitPort(linkPort);
        ui->label_Status->setText(tr("Serial port lost: %1").arg(linkPort));
    }
    updateConnectionWidgets();
}

void MainWindow::reconnectIfBack()
{
    if (!awaitingPort || serialPort->isOpen() || !ui->checkBox_AutoConnect->isChecked()
        || !portIsPresent(linkPort, portWatcher->ports()))
        return;
    const QString portName = linkPort;
    ui->comboBox_Serial_Port->setCurrentText(portName);
    // Not yet usable (udev may still be setting its permissions): the next
    // change of the devices tries again.
    if (openLink(portName))
        ui->label_Status->setText(withEndpointState(tr("Serial port reconnected: %1").arg(portName), endpoint));
    else
        showOpenFailure(portName);
    updateConnectionWidgets();
}

void MainWindow::handleSerialError(QSerialPort::SerialPortError error)
{
    // Opening reports "no error" once, and a failed opening is reported by the
    // Open slot itself: only a port that fails while open is of interest here.
    if (error == QSerialPort::NoError || !serialPort->isOpen())
        return;
    // A vanished device keeps reporting the error until the port is closed;
    // a full line reports the same error and only makes the port wait.
    if (error != QSerialPort::ResourceError)
        ui->label_Status->setText(tr("Serial port error: %1").arg(serialPort->errorString()));
    else if (portErrorMeansLost(*serialPort, error))
        handlePortLost();
}

void MainWindow::sendCommand(const QString &name, const CommandFrame &frame)
{
    sendFrame(name, frame);
}

bool MainWindow::sendCommand(const PlayerCommand &command)
{
    return sendFrame(translatedCommandName(command), toFrame(command));
}

bool MainWindow::sendFrame(const QString &name, const CommandFrame &frame)
{
    bool sent = false;
    if (serialPort->isOpen()) {
        const QString echo = commandEcho(name, frame);
        ui->label_Status->setText(echo);
        const qint64 written = serialPort->write(reinterpret_cast<const char *>(frame.data()), qint64(frame.size()));
        // Hand the frame to the system now instead of on the next turn of the
        // event loop.
        serialPort->flush();
        // A device that vanished during the write has closed the link and
        // said so in the label already.
        sent = written == qint64(frame.size()) && serialPort->isOpen();
        if (!sent && serialPort->isOpen())
            ui->label_Status->setText(tr("%1 (not sent)").arg(echo));
    }
    updateConnectionWidgets();
    return sent;
}
