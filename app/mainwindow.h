#pragma once

#include "command/commandframe.h"
#include "command/playercommand.h"
#include "link/commandintake.h"

#include <QMainWindow>
#include <QSerialPort>
#include <QTimer>

#include <memory>

class ConsoleLink;

namespace Ui {
class MainWindow;
}

// The one port the console drives. It lives for the whole process and is
// opened and closed any number of times; the window closes it at exit.
extern QSerialPort *const serialPort;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The one way a command leaves the program: writes the frame to the open
    // port and echoes its name and bytes in the status label.
    void sendCommand(const QString &name, const CommandFrame &frame);
    // The same for a command value, echoed by its name in the interface
    // language. Returns whether the whole frame went to the port.
    bool sendCommand(const PlayerCommand &command);

private slots:
    void on_pushButton_Play_clicked();
    void on_pushButton_Open_clicked();
    void on_pushButton_Close_clicked();
    void on_pushButton_Stop_clicked();
    void on_pushButton_Pause_clicked();
    void on_pushButton_Previous_clicked();
    void on_pushButton_Next_clicked();
    void on_pushButton_Folder_Load_clicked();
    void on_pushButton_Playlist_Load_clicked();
    void on_pushButton_Source_Load_clicked();
    void on_pushButton_WebRadio_Load_clicked();
    void on_pushButton_FTP_Load_clicked();
    void on_pushButton_Spot_Load_clicked();
    void on_pushButton_All_Min_clicked();
    void on_horizontalSlider_All_valueChanged(int value);
    void on_pushButton_All_Max_clicked();
    void on_horizontalSlider_All_actionTriggered(int action);
    void on_checkBox_All_stateChanged(int arg1);
    void on_pushButton_All_Plus_clicked();
    void on_pushButton_All_Less_clicked();
    void on_pushButton_XLR_Min_clicked();
    void on_pushButton_XLR_Max_clicked();
    void on_horizontalSlider_XLR_actionTriggered(int action);
    void on_horizontalSlider_XLR_valueChanged(int value);
    void on_checkBox_XLR_stateChanged(int arg1);
    void on_pushButton_XLR_Plus_clicked();
    void on_pushButton_XLR_Less_clicked();
    void on_pushButton_RCA_Min_clicked();
    void on_pushButton_RCA_Max_clicked();
    void on_horizontalSlider_RCA_actionTriggered(int action);
    void on_horizontalSlider_RCA_valueChanged(int value);
    void on_checkBox_RCA_stateChanged(int arg1);
    void on_pushButton_RCA_Plus_clicked();
    void on_pushButton_RCA_Less_clicked();
    void on_actionExit_triggered();
    void on_actionAbout_triggered();
    void on_actionVeldo_Home_Page_triggered();
    void on_actionContact_Technical_Support_triggered();
    void on_actionFran_ais_triggered();
    void on_actionEnglish_triggered();
    void on_actionDefault_triggered();

private:
    // Serial link
    bool sendFrame(const QString &name, const CommandFrame &frame);
    void fillSerialCombos();
    void updateConnectionWidgets();
    void handleSerialError(QSerialPort::SerialPortError error);
    void showPorts(const QStringList &ports, const QStringList &before);
    void listPortsOnceShown();
    void connectAtStart();
    void showHandled(const CommandOrigin &origin, const QByteArray &text, const CommandIntake::Reply &reply);
    void releasePort();

    // Commands
    void fillParameterCombos();

    // Volume
    void refreshVolumeLabels();
    void updateMuteWidgets();
    void resetVolumeState();
    void showPlayerVolume(const PlayerCommand &command);

    // Settings and language
    void loadConfiguration();
    void saveConfiguration();
    void applyLanguage();

    Ui::MainWindow *ui;

    // The link beyond the Open and Close buttons (consolelink.h), which the
    // window observes, and the window's own place among its clients.
    ConsoleLink *link = nullptr;
    std::shared_ptr<CommandIntake::Client> operatorClient;
    CommandIntake::Reply otherProgramsEcho; // the last of this turn, shown at its end
    QTimer otherProgramsEchoTimer;
};
