#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::applyLanguage()
{
    ui->retranslateUi(this);
    // The form's texts include placeholder level labels: show the real levels.
    refreshVolumeLabels();
}

void MainWindow::on_actionFran_ais_triggered()
{
}

void MainWindow::on_actionEnglish_triggered()
{
}

void MainWindow::on_actionDefault_triggered()
{
}
