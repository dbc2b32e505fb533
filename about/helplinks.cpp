#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::on_actionAbout_triggered()
{
}

void MainWindow::on_actionVeldo_Home_Page_triggered()
{
}

void MainWindow::on_actionContact_Technical_Support_triggered()
{
}
