#include "app/mainwindow.h"
#include "app/portquery.h"
#include "app/portwatcher.h"
#include "command/commanddecoder.h"
#include "link/linesettings.h"
#include "link/playerlink.h"
#include "link/portnames.h"
#include "ui_mainwindow.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>

namespace {

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
QString withEndpointState(const QString &status, const PlayerLink *link)
{
    if (link->endpointProblem().isEmpty())
        return status;
    return MainWindow::tr("%1; other programs cannot reach the console: %2").arg(status, link->endpointProblem());
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

    // Every command leaves through the one intake and the one link, the
    // window's clicks and other programs' commands alike: frames never
    // interleave, and each is echoed like a click.
    PlayerLink::Options options;
    options.port = serialPort;
    options.reopenByItself = false;
    options.refuseBesideForeignEndpoint = false;
    link = new PlayerLink(QString(), options, this);
    intake = new CommandIntake(link, this);
    link->serveEndpoint(intake);
    operatorClient = CommandIntake::client({QStringLiteral("window"), QString(), QString()});
    connect(intake, &CommandIntake::handled, this, &MainWindow::showHandled);
    connect(link, &PlayerLink::failed, this, &MainWindow::handleLinkFailure);

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
                          || (shown == linkPort && (link->isOpen() || awaitingPort)));
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
    const bool open = link->isOpen();
    using Widgets = std::initializer_list<QWidget *>;
    for (QWidget *widget : Widgets{ui->pushButton_Open, ui->comboBox_Serial_Port, ui->comboBox_Serial_Baudrate})
        widget->setEnabled(!open);
    for (QWidget *widget : Widgets{ui->groupBox_Transport, ui->groupBox_Folder, ui->groupBox_Playlist,
                                   ui->groupBox_Spot, ui->groupBox_Source, ui->groupBox_WebRadio, ui->groupBox_FTP,
                                   ui->groupBox_Volume, ui->pushButton_Close})
        widget->setEnabled(open);
}

// The port itself, or the program that holds it (a bridge of this user's),
// which then sends the window's commands on it.
bool MainWindow::openLink(const QString &portName, QString *error)
{
    link->retarget(portName, ui->comboBox_Serial_Baudrate->currentText().toInt());
    if (!link->open(error))
        return false;
    linkPort = portName;
    linkIsPseudoTerminal = isNumberedPseudoTerminal(portName);
    awaitingPort = false;
    portWatcher->watchPath(QString());
    if (link->holdsPort())
        portWatcher->watchOpenPort(serialPort);
    return true;
}

// "Open", or through whom when another program holds the port.
QString MainWindow::openedText(const QString &opened) const
{
    if (link->throughOwner())
        return tr("%1 through %2, which holds the port").arg(opened, link->ownerName());
    return withEndpointState(opened, link);
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

    QString error;
    if (openLink(portName, &error))
        ui->label_Status->setText(openedText(tr("Open")));
    else if (portName.isEmpty())
        ui->label_Status->setText(tr("No serial port"));
    else
        ui->label_Status->setText(error);
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
    if (link->isOpen() || !ui->checkBox_AutoConnect->isChecked())
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
    link->close();
}

void MainWindow::on_pushButton_Close_clicked()
{
    // Closed by the operator: never reopened by itself.
    awaitingPort = false;
    portWatcher->watchPath(QString());
    releasePort();
    ui->label_Status->setText(tr("Close"));
    updateConnectionWidgets();
}

void MainWindow::handlePortLost()
{
    if (!link->isOpen())
        return;
    link->close();
    showPortLost();
}

void MainWindow::showPortLost()
{
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

// The way failed while in use: the line was lost, or the program that held
// the port let go of it, which the window then takes over.
void MainWindow::handleLinkFailure()
{
    if (link->failedThroughOwner()) {
        QString error;
        if (openLink(linkPort, &error)) {
            ui->label_Status->setText(openedText(tr("Serial port reconnected: %1").arg(linkPort)));
            return updateConnectionWidgets();
        }
    }
    showPortLost();
}

void MainWindow::reconnectIfBack()
{
    if (!awaitingPort || link->isOpen() || !ui->checkBox_AutoConnect->isChecked()
        || !portIsPresent(linkPort, portWatcher->ports()))
        return;
    const QString portName = linkPort;
    ui->comboBox_Serial_Port->setCurrentText(portName);
    // Not yet usable (udev may still be setting its permissions): the next
    // change of the devices tries again.
    QString error;
    if (openLink(portName, &error))
        ui->label_Status->setText(openedText(tr("Serial port reconnected: %1").arg(portName)));
    else
        ui->label_Status->setText(error);
    updateConnectionWidgets();
}

void MainWindow::handleSerialError(QSerialPort::SerialPortError error)
{
    // Opening reports "no error" once, and a failed opening is reported by the
    // Open slot itself: only a port that fails while open is of interest here.
    // A vanished device and a full line report the same error; the link
    // tells them apart (handleLinkFailure()).
    if (error == QSerialPort::NoError || error == QSerialPort::ResourceError || !serialPort->isOpen())
        return;
    ui->label_Status->setText(tr("Serial port error: %1").arg(serialPort->errorString()));
}

void MainWindow::sendCommand(const QString &name, const CommandFrame &frame)
{
    sendFrame(name, frame);
}

bool MainWindow::sendCommand(const PlayerCommand &command)
{
    return sendFrame(translatedCommandName(command), toFrame(command));
}

// The echo first, as the operator clicked; a command that could not go
// out says so in its place.
bool MainWindow::sendFrame(const QString &name, const CommandFrame &frame)
{
    auto sent = std::make_shared<bool>(false);
    if (link->isOpen()) {
        const QString echo = commandEcho(name, frame);
        ui->label_Status->setText(echo);
        const QPointer<QLabel> status = ui->label_Status;
        intake->take(operatorClient, frame, [status, echo, sent](const CommandIntake::Reply &reply) {
            *sent = reply.outcome.isSent();
            if (!status || reply.outcome.isSent())
                return;
            status->setText(reply.outcome.kind == SendOutcome::Kind::NotSent
                                ? tr("%1 (not sent)").arg(echo)
                                : tr("%1: outcome unknown (%2); check the player before sending it again")
                                      .arg(echo, reply.outcome.reason));
        });
    }
    updateConnectionWidgets();
    // Whether it went out before this returned; one that waits for room
    // tells later, in the status line.
    return *sent;
}

// Commands of other programs are echoed as clicks are, and what they set
// shows in the volume panel as the operator's own click would have.
void MainWindow::showHandled(const CommandOrigin &origin, const QByteArray &, const CommandIntake::Reply &reply)
{
    if (origin.door == QLatin1String("window") || !reply.command)
        return;
    const QString echo = commandEcho(translatedCommandName(*reply.command), toFrame(*reply.command));
    switch (reply.outcome.kind) {
    case SendOutcome::Kind::Sent:
        ui->label_Status->setText(echo);
        showPlayerVolume(*reply.command);
        break;
    case SendOutcome::Kind::NotSent:
        ui->label_Status->setText(tr("%1 (not sent)").arg(echo));
        break;
    case SendOutcome::Kind::Unknown:
        ui->label_Status->setText(
            tr("%1: outcome unknown (%2); check the player before sending it again").arg(echo, reply.outcome.reason));
        break;
    }
}
