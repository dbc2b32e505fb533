#include "identity.h"
#include "mainwindow.h"
#include "portquery.h"

#include <QApplication>

int main(int argc, char **argv)
{
    startPortQuery();
    setApplicationIdentity();
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    return application.exec();
}
