#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QStringListModel>

namespace {

// The numbers "1" to "last" an operator picks a folder, spot or station by,
// as one model that several lists can show.
QStringListModel *numberModel(int last, QObject *owner)
{
    QStringList texts;
    texts.reserve(last);
    for (int number = 1; number <= last; ++number)
        texts << QString::number(number);
    return new QStringListModel(texts, owner);
}

// Sized to its contents, a list would measure every one of its up to 999
// items when the window is first shown; the width of the longest number,
// without room for an icon (the lists have none), gives the same width.
// The model comes first: the size policy makes the list's popup, which then
// takes this model once instead of the default one and then this one.
void showNumbers(QComboBox *list, QStringListModel *numbers)
{
    list->setModel(numbers);
    list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    list->setMinimumContentsLength(int(numbers->stringList().constLast().size()));
    list->setIconSize(QSize(0, 0));
}

// The lists are not editable, so the current text is always one of the
// numbers they were filled with.
int currentNumber(const QComboBox *list)
{
    return list->currentText().toInt();
}

Commands::LoadMode loadMode(const QRadioButton *sequential)
{
    return sequential->isChecked() ? Commands::LoadMode::Sequential : Commands::LoadMode::Random;
}

} // namespace

void MainWindow::fillParameterCombos()
{
    // Lists of the same numbers share one model: three thousand items made
    // one by one were the largest part of the window's construction.
    QStringListModel *mediaNumbers = numberModel(Commands::MaxMediaNumber, this);
    QStringListModel *stationNumbers = numberModel(Commands::MaxStation, this);
    showNumbers(ui->comboBox_Folder, mediaNumbers);
    showNumbers(ui->comboBox_Playlist, mediaNumbers);
    showNumbers(ui->comboBox_Spot, mediaNumbers);
    showNumbers(ui->comboBox_WebRadio, stationNumbers);
    showNumbers(ui->comboBox_FTP, stationNumbers);
    showNumbers(ui->comboBox_Spot_Option, numberModel(Commands::MaxSpotCount, this));
    // Device names, shown as the device calls them in every language.
    ui->comboBox_Source->addItems(Commands::sourceNames());
}

void MainWindow::on_pushButton_Play_clicked()
{
    sendCommand(PlayerCommand::transportCommand(Commands::Play));
}

void MainWindow::on_pushButton_Pause_clicked()
{
    sendCommand(PlayerCommand::transportCommand(Commands::Pause));
}

void MainWindow::on_pushButton_Stop_clicked()
{
    sendCommand(PlayerCommand::transportCommand(Commands::Stop));
}

void MainWindow::on_pushButton_Next_clicked()
{
    sendCommand(PlayerCommand::transportCommand(Commands::Next));
}

void MainWindow::on_pushButton_Previous_clicked()
{
    sendCommand(PlayerCommand::transportCommand(Commands::Previous));
}

void MainWindow::on_pushButton_Folder_Load_clicked()
{
    sendCommand(PlayerCommand::folder(currentNumber(ui->comboBox_Folder), loadMode(ui->radioButton_Folder_SEQ),
                                      ui->checkBox_Folder_Reset->isChecked()));
}

void MainWindow::on_pushButton_Playlist_Load_clicked()
{
    sendCommand(PlayerCommand::playlist(currentNumber(ui->comboBox_Playlist), loadMode(ui->radioButton_Playlist_SEQ),
                                        ui->checkBox_Playlist_Reset->isChecked()));
}

void MainWindow::on_pushButton_Spot_Load_clicked()
{
    // The RND button is never read: random is the mode without a flag.
    Commands::SpotMode mode = Commands::SpotMode::Random;
    if (ui->radioButton_Spot_SEQ->isChecked())
        mode = Commands::SpotMode::Sequential;
    else if (ui->radioButton_Spot_X_IN_RND->isChecked())
        mode = Commands::SpotMode::XInRandom;
    else if (ui->radioButton_Spot_X_IN_SEQ->isChecked())
        mode = Commands::SpotMode::XInSequential;
    sendCommand(PlayerCommand::spot(currentNumber(ui->comboBox_Spot), mode, currentNumber(ui->comboBox_Spot_Option)));
}

void MainWindow::on_pushButton_WebRadio_Load_clicked()
{
    sendCommand(PlayerCommand::webRadio(currentNumber(ui->comboBox_WebRadio)));
}

void MainWindow::on_pushButton_FTP_Load_clicked()
{
    sendCommand(PlayerCommand::ftp(currentNumber(ui->comboBox_FTP)));
}

void MainWindow::on_pushButton_Source_Load_clicked()
{
    // The index, not the shown name, selects the source.
    sendCommand(PlayerCommand::source(ui->comboBox_Source->currentIndex()));
}
