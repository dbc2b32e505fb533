#include "app/mainwindow.h"
#include "base/identity.h"
#include "base/programhelp.h"

#include <QApplication>

#include <cstdio>

namespace {

ProgramHelp consoleHelp()
{
    ProgramHelp help;
    help.program = QStringLiteral("tunaris-console");
    help.usages = QStringList{QStringLiteral("[-platform NAME] [QT OPTION]...")};
    help.summary = QStringLiteral(
        "A desktop console that remote-controls a Tunaris audio player over one serial port: transport, folder, "
        "playlist and spot loads with their play modes, web radio, FTP client, media source and three volume "
        "channels. Every action becomes one four-byte command frame on the line, echoed in the window's status "
        "line. While it holds a port, other programs of the same user (tunaris-send, tunaris-bridge) send "
        "through it.");
    help.options = {
        {QStringLiteral("-platform NAME"),
         QStringLiteral("the display to use: xcb (X11), wayland, or offscreen for none; the other options of "
                        "every Qt program are taken too")},
    };
    help.sections = {
        {QStringLiteral("Files"),
         QStringLiteral("  ~/.config/Tunaris Audio Systems/Tunaris - Serial Console/Tunaris - Serial Console.cfg\n"
                        "     the port, baud rate, auto-connection and language; beside the program\n"
                        "     instead when it runs from a folder of the user's own (a build tree, an\n"
                        "     unpacked archive)\n")},
        {QStringLiteral("Exit status"), QStringLiteral("  0  the window was closed\n")},
    };
    return help;
}

} // namespace

int main(int argc, char **argv)
{
    setApplicationIdentity();
    // Answered before the application object is made, which needs a
    // display: --help and --version work on a server and over ssh too.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (const QString answer = helpOrVersionAnswer(arguments, consoleHelp()); !answer.isEmpty()) {
        std::fputs(answer.toLocal8Bit().constData(), stdout);
        return 0;
    }
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.example.tunaris.SerialConsole"));
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    return application.exec();
}
