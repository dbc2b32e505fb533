#include "about/aboutwindows.h"
#include "app/mainwindow.h"
#include "base/aboutinfo.h"

#include <QCoreApplication>
#include <QDesktopServices>

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

// The links go to the desktop's browser and mail program. When none takes a
// link, nothing opens; the operator sees that, and there is nothing to add.
void MainWindow::on_actionVeldo_Home_Page_triggered()
{
    QDesktopServices::openUrl(AboutInfo::homePageUrl(QCoreApplication::organizationDomain()));
}

void MainWindow::on_actionContact_Technical_Support_triggered()
{
    const QString subject =
        AboutInfo::supportSubject(tr("Subject: Veldo Support Request (From:"), AboutInfo::currentIdentity());
    QDesktopServices::openUrl(AboutInfo::supportMailUrl(subject, tr("Here: your question...")));
}
