#include "app/mainwindow.h"
#include "app/resources.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>

// Created before main() and never destroyed: the port keeps its state for the
// whole run, whatever happens to the window.
QSerialPort *const serialPort = new QSerialPort;

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    initResources();
    ui->setupUi(this);
    useCompiledIconIfMissing(this);
    setWindowTitle(QCoreApplication::applicationName() + QLatin1Char(' ')
                   + QCoreApplication::applicationVersion());

    connect(serialPort, &QSerialPort::errorOccurred, this, &MainWindow::handleSerialError);
    // Where the line has to be opened for reading too, the player's silence is
    // all there is to read; drop any noise rather than let it pile up.
    connect(serialPort, &QIODevice::readyRead, this, [] { serialPort->skip(serialPort->bytesAvailable()); });
    fillSerialCombos();
    updateConnectionWidgets();
    fillParameterCombos();
    resetVolumeState();
    loadConfiguration();
    applyLanguage();
    listPortsOnceShown();
}

MainWindow::~MainWindow()
{
    saveConfiguration();
    // The process end would leave the lock file and the exclusive use behind.
    if (linkOpenedHere)
        releasePort();
    delete ui;
}

void MainWindow::on_actionExit_triggered()
{
    close();
}
