#include "aboutwindows.h"
#include "mainwindow.h"

void MainWindow::on_actionAbout_triggered()
{
    // A fresh dialog each time shows the language and values of the moment.
    // Closing only hides a dialog, so it is released on close; otherwise
    // every About would stay in memory until the program ends.
    auto *about = new AboutWindows;
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->updateInformation();
    about->show();
}

void MainWindow::on_actionVeldo_Home_Page_triggered()
{
}

void MainWindow::on_actionContact_Technical_Support_triggered()
{
}
