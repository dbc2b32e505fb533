#include "linesettings.h"
#include "mainwindow.h"
#include "portquery.h"
#include "ui_mainwindow.h"

namespace {

// How long Close waits for queued frames to reach the system before it closes
// the port; at 9600 baud a single frame takes about 4 ms on the line.
constexpr int flushTimeoutMs = 200;

} // namespace

void MainWindow::fillSerialCombos()
{
    ui->comboBox_Serial_Port->addItems(listedPortNames());
    for (const qint32 rate : supportedBaudRates())
        ui->comboBox_Serial_Baudrate->addItem(QString::number(rate));
    ui->comboBox_Serial_Baudrate->setCurrentIndex(ui->comboBox_Serial_Baudrate->count() - 1);
}

void MainWindow::updateConnectionWidgets()
{
    const bool open = serialPort->isOpen();
    using Widgets = std::initializer_list<QWidget *>;
    for (QWidget *widget : Widgets{ui->pushButton_Open, ui->comboBox_Serial_Port, ui->comboBox_Serial_Baudrate})
        widget->setEnabled(!open);
    for (QWidget *widget : Widgets{ui->groupBox_Transport, ui->groupBox_Folder, ui->groupBox_Playlist,
                                   ui->groupBox_Spot, ui->groupBox_Source, ui->groupBox_WebRadio,
                                   ui->groupBox_FTP, ui->groupBox_Volume, ui->pushButton_Close})
        widget->setEnabled(open);
}

void MainWindow::on_pushButton_Open_clicked()
{
    const QString portName = ui->comboBox_Serial_Port->currentText();
    configureLine(*serialPort, portName, ui->comboBox_Serial_Baudrate->currentText().toInt());

    if (serialPort->open(SendOpenMode))
        ui->label_Status->setText(tr("Open"));
    else if (portName.isEmpty())
        ui->label_Status->setText(tr("No serial port"));
    else
        ui->label_Status->setText(tr("Cannot open %1: %2").arg(portName, serialPort->errorString()));
    updateConnectionWidgets();
}

void MainWindow::on_pushButton_Close_clicked()
{
    // The port only queues writes; hand every echoed frame to the system
    // before closing, or close() would discard it.
    while (serialPort->bytesToWrite() > 0 && serialPort->waitForBytesWritten(flushTimeoutMs)) {
    }
    serialPort->close();
    if (!serialPort->isOpen())
        ui->label_Status->setText(tr("Close"));
    updateConnectionWidgets();
}

void MainWindow::handleSerialError(QSerialPort::SerialPortError error)
{
    // Opening reports "no error" once, and a failed opening is reported by the
    // Open slot itself: only a port that fails while open is of interest here.
    if (error == QSerialPort::NoError || !serialPort->isOpen())
        return;
    ui->label_Status->setText(tr("Serial port error: %1").arg(serialPort->errorString()));
    // A vanished device keeps reporting the error until the port is closed.
    if (error == QSerialPort::ResourceError) {
        serialPort->close();
        updateConnectionWidgets();
    }
}

void MainWindow::sendCommand(const QString &name, const CommandFrame &frame)
{
    if (serialPort->isOpen()) {
        const QString echo = commandEcho(name, frame);
        ui->label_Status->setText(echo);
        const qint64 written = serialPort->write(reinterpret_cast<const char *>(frame.data()), qint64(frame.size()));
        // Hand the frame to the system now instead of on the next turn of the
        // event loop.
        serialPort->flush();
        // A device that vanished during the write has closed the link and
        // said so in the label already.
        if (written != qint64(frame.size()) && serialPort->isOpen())
            ui->label_Status->setText(echo + QLatin1String(" (") + tr("not sent") + QLatin1Char(')'));
    }
    updateConnectionWidgets();
}
