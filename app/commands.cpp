#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::fillParameterCombos()
{
}

void MainWindow::on_pushButton_Play_clicked()
{
}

void MainWindow::on_pushButton_Pause_clicked()
{
}

void MainWindow::on_pushButton_Stop_clicked()
{
}

void MainWindow::on_pushButton_Next_clicked()
{
}

void MainWindow::on_pushButton_Previous_clicked()
{
}

void MainWindow::on_pushButton_Folder_Load_clicked()
{
}

void MainWindow::on_pushButton_Playlist_Load_clicked()
{
}

void MainWindow::on_pushButton_Spot_Load_clicked()
{
}

void MainWindow::on_pushButton_WebRadio_Load_clicked()
{
}

void MainWindow::on_pushButton_FTP_Load_clicked()
{
}

void MainWindow::on_pushButton_Source_Load_clicked()
{
}
