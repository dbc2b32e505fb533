#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::loadConfiguration()
{
}

void MainWindow::saveConfiguration()
{
}
