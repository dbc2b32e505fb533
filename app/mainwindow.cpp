#include "app/mainwindow.h"
#include "app/resources.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QIcon>
#include <QTimer>

// Created before main() and never destroyed: the port keeps its state for the
// whole run, whatever happens to the window.
QSerialPort *const serialPort = new QSerialPort;

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    initResources();
    ui->setupUi(this);
    // The window system reads every size of the icon as the window is shown;
    // the large one, for the desktop's big views, would hold that up. It
    // follows on the first turn of the event loop.
    if (useCompiledIconIfMissing(this, IconSizes::Small))
        QTimer::singleShot(0, this, [this] { setWindowIcon(compiledWindowIcon(IconSizes::All)); });
    setWindowTitle(QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion());

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
    releasePort();
    delete ui;
}

void MainWindow::on_actionExit_triggered()
{
    close();
}
