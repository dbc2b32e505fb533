#include "app/consolelink.h"
#include "app/mainwindow.h"
#include "app/portwatcher.h"
#include "link/linesettings.h"
#include "link/playerlink.h"
#include "ui_mainwindow.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>

namespace {

// Longer than any device path; keeps a pasted text out of the settings file.
constexpr int maxTypedPortLength = 1024;

} // namespace

void MainWindow::fillSerialCombos()
{
    QComboBox *ports = ui->comboBox_Serial_Port;
    // A typed name is opened as typed: no completion may turn COM1 into COM12.
    ports->setCompleter(nullptr);
    ports->lineEdit()->setMaxLength(maxTypedPortLength);

    // Every command leaves through the link's one intake, the window's clicks
    // and other programs' commands alike: frames never interleave, and each
    // is echoed like a click. The window shows what the link says.
    link = new ConsoleLink(serialPort,
                           {[this] { return ui->comboBox_Serial_Baudrate->currentText().toInt(); },
                            [this] { return ui->checkBox_AutoConnect->isChecked(); }},
                           this);
    operatorClient = CommandIntake::client({QStringLiteral("window"), QString(), QString()});
    connect(link->intake(), &CommandIntake::handled, this, &MainWindow::showHandled);
    otherProgramsEchoTimer.setSingleShot(true);
    otherProgramsEchoTimer.setInterval(0);
    connect(&otherProgramsEchoTimer, &QTimer::timeout, this, [this] {
        const CommandIntake::Reply &reply = otherProgramsEcho;
        const QString echo = commandEcho(translatedCommandName(*reply.command), toFrame(*reply.command));
        switch (reply.outcome.kind) {
        case SendOutcome::Kind::Sent:
            return ui->label_Status->setText(echo);
        case SendOutcome::Kind::NotSent:
            return ui->label_Status->setText(tr("%1 (not sent)").arg(echo));
        case SendOutcome::Kind::Unknown:
            break;
        }
        ui->label_Status->setText(
            tr("%1: outcome unknown (%2); check the player before sending it again").arg(echo, reply.outcome.reason));
    });
    connect(link, &ConsoleLink::statusChanged, ui->label_Status, &QLabel::setText);
    connect(link, &ConsoleLink::openChanged, this, [this] {
        // A port opened again by itself is the one shown.
        if (link->isOpen())
            ui->comboBox_Serial_Port->setCurrentText(link->portName());
        updateConnectionWidgets();
    });
    // Empty until the window is shown: see listPortsOnceShown().
    connect(link->watcher(), &PortWatcher::portsChanged, this, &MainWindow::showPorts);

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
                          || (shown == link->portName() && (link->isOpen() || link->isAwaited())));
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

void MainWindow::on_pushButton_Open_clicked()
{
    ui->label_Status->setText(link->open(ui->comboBox_Serial_Port->currentText()));
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
        connect(link->watcher(), &PortWatcher::devicesChanged, this, &MainWindow::connectAtStart,
                Qt::SingleShotConnection);
    QTimer::singleShot(0, link->watcher(), &PortWatcher::refresh);
}

void MainWindow::connectAtStart()
{
    // The operator may have been quicker than the list.
    if (link->isOpen() || !ui->checkBox_AutoConnect->isChecked())
        return;
    ui->label_Status->setText(link->openAtStart(ui->comboBox_Serial_Port->currentText()));
    updateConnectionWidgets();
}

void MainWindow::releasePort()
{
    link->close();
}

void MainWindow::on_pushButton_Close_clicked()
{
    ui->label_Status->setText(link->close());
    updateConnectionWidgets();
}

void MainWindow::handleSerialError(QSerialPort::SerialPortError error)
{
    // Opening reports "no error" once, and a failed opening is reported by the
    // Open slot itself: only a port that fails while open is of interest here.
    // A vanished device and a full line report the same error; the link
    // tells them apart (consolelink.h).
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
        // The operator's click is the newest word in the status line.
        otherProgramsEchoTimer.stop();
        ui->label_Status->setText(echo);
        const QPointer<QLabel> status = ui->label_Status;
        link->intake()->take(operatorClient, frame, [status, echo, sent](const CommandIntake::Reply &reply) {
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
// shows in the volume panel as the operator's own click would have. A
// program that sends a thousand commands at once has the last of each turn
// echoed: nobody reads the others, and the window stays quick.
void MainWindow::showHandled(const CommandOrigin &origin, const QByteArray &, const CommandIntake::Reply &reply)
{
    if (origin.door == QLatin1String("window") || !reply.command)
        return;
    if (reply.outcome.isSent())
        showPlayerVolume(*reply.command);
    otherProgramsEcho = reply;
    if (!otherProgramsEchoTimer.isActive())
        otherProgramsEchoTimer.start();
}
