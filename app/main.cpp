#include "app/mainwindow.h"
#include "base/identity.h"

#include <QApplication>

int main(int argc, char **argv)
{
    setApplicationIdentity();
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.example.tunaris.SerialConsole"));
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    return application.exec();
}
