#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::sendAbsoluteVolume(int, Commands::VolumeChannel)
{
}

void MainWindow::sendRelativeVolume(int, Commands::VolumeChannel)
{
}

void MainWindow::refreshVolumeLabels()
{
}

void MainWindow::updateMuteWidgets()
{
}

void MainWindow::resetVolumeState()
{
}

void MainWindow::on_pushButton_All_Min_clicked()
{
}

void MainWindow::on_pushButton_All_Max_clicked()
{
}

void MainWindow::on_pushButton_All_Plus_clicked()
{
}

void MainWindow::on_pushButton_All_Less_clicked()
{
}

void MainWindow::on_horizontalSlider_All_actionTriggered(int)
{
}

void MainWindow::on_horizontalSlider_All_valueChanged(int)
{
}

void MainWindow::on_checkBox_All_stateChanged(int)
{
}

void MainWindow::on_pushButton_XLR_Min_clicked()
{
}

void MainWindow::on_pushButton_XLR_Max_clicked()
{
}

void MainWindow::on_pushButton_XLR_Plus_clicked()
{
}

void MainWindow::on_pushButton_XLR_Less_clicked()
{
}

void MainWindow::on_horizontalSlider_XLR_actionTriggered(int)
{
}

void MainWindow::on_horizontalSlider_XLR_valueChanged(int)
{
}

void MainWindow::on_checkBox_XLR_stateChanged(int)
{
}

void MainWindow::on_pushButton_RCA_Min_clicked()
{
}

void MainWindow::on_pushButton_RCA_Max_clicked()
{
}

void MainWindow::on_pushButton_RCA_Plus_clicked()
{
}

void MainWindow::on_pushButton_RCA_Less_clicked()
{
}

void MainWindow::on_horizontalSlider_RCA_actionTriggered(int)
{
}

void MainWindow::on_horizontalSlider_RCA_valueChanged(int)
{
}

void MainWindow::on_checkBox_RCA_stateChanged(int)
{
}
