// The yardstick for start-up time and memory: a plain Qt Widgets main window
// with a few widgets, built with the same toolkit and flags as the console.
#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Bare Window"));
    auto *central = new QWidget(&window);
    auto *grid = new QGridLayout(central);
    grid->addWidget(new QLabel(QStringLiteral("Port"), central), 0, 0);
    grid->addWidget(new QComboBox(central), 0, 1);
    grid->addWidget(new QPushButton(QStringLiteral("Open"), central), 0, 2);
    grid->addWidget(new QSlider(Qt::Horizontal, central), 1, 0, 1, 3);
    window.setCentralWidget(central);
    window.menuBar()->addMenu(QStringLiteral("&File"));
    window.resize(489, 575);
    window.show();
    return application.exec();
}
