#include "app/levelcolumn.h"
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QSignalBlocker>

using Commands::VolumeChannel;

namespace {

// Set when the operator acts on any of the three sliders and cleared by every
// other volume slot. The slider reports the operator's action before it
// changes its value, so the value change that follows knows whether the
// operator made it (send it) or the program did (the slot that moved the
// slider sends its own command).
bool userSliderAction = false;

// The level each channel had when it was last muted, restored on unmuting;
// resetVolumeState() starts them at the levels the window starts with.
int savedLevelAll = 0;
int savedLevelXLR = 0;
int savedLevelRCA = 0;

bool takeUserSliderAction()
{
    const bool operatorMoved = userSliderAction;
    userSliderAction = false;
    return operatorMoved;
}

// Min and Max: the end is sent even when the slider stood there already, so
// every press reaches the device.
PlayerCommand moveToLevel(QSlider *slider, VolumeChannel channel, int level)
{
    userSliderAction = false;
    slider->setValue(level);
    return PlayerCommand::volume(channel, level);
}

// More and Less: the slider stops at its ends, but the full step is always
// sent.
PlayerCommand stepLevel(QSlider *slider, VolumeChannel channel, int step)
{
    userSliderAction = false;
    slider->setValue(qBound(slider->minimum(), slider->value() + step, slider->maximum()));
    return PlayerCommand::volumeStep(channel, step);
}

// Muting keeps the level to come back to and drops the slider to the bottom;
// unmuting restores the level. Returns whether the channel is now muted.
bool applyMute(const QCheckBox *mute, QSlider *slider, int &savedLevel)
{
    userSliderAction = false;
    if (mute->isChecked()) {
        savedLevel = slider->value();
        slider->setValue(slider->minimum());
    } else {
        slider->setValue(savedLevel);
    }
    return mute->isChecked();
}

void enableUnlessMuted(const QCheckBox *mute, std::initializer_list<QWidget *> controls)
{
    for (QWidget *control : controls)
        control->setEnabled(!mute->isChecked());
}

} // namespace

void MainWindow::refreshVolumeLabels()
{
    ui->label_Volume_Value_All->setText(levelText(ui->horizontalSlider_All->value()));
    ui->label_Volume_Value_XLR->setText(levelText(ui->horizontalSlider_XLR->value()));
    ui->label_Volume_Value_RCA->setText(levelText(ui->horizontalSlider_RCA->value()));
}

void MainWindow::updateMuteWidgets()
{
    enableUnlessMuted(ui->checkBox_All, {ui->horizontalSlider_All, ui->pushButton_All_Max, ui->pushButton_All_Min,
                                         ui->pushButton_All_Less, ui->pushButton_All_Plus, ui->spinBox_All});
    enableUnlessMuted(ui->checkBox_XLR, {ui->horizontalSlider_XLR, ui->pushButton_XLR_Max, ui->pushButton_XLR_Min,
                                         ui->pushButton_XLR_Less, ui->pushButton_XLR_Plus, ui->spinBox_XLR});
    enableUnlessMuted(ui->checkBox_RCA, {ui->horizontalSlider_RCA, ui->pushButton_RCA_Max, ui->pushButton_RCA_Min,
                                         ui->pushButton_RCA_Less, ui->pushButton_RCA_Plus, ui->spinBox_RCA});
}

void MainWindow::resetVolumeState()
{
    userSliderAction = false;
    // Until a channel is first muted, its level to restore is the one the
    // window starts with.
    savedLevelAll = ui->horizontalSlider_All->value();
    savedLevelXLR = ui->horizontalSlider_XLR->value();
    savedLevelRCA = ui->horizontalSlider_RCA->value();
}

// A volume command that went out from another program: the panel shows
// what it set, as the operator's own click would have, and sends nothing
// for it. A muted channel keeps its box and its slider at the bottom; the
// level set is the one it comes back to.
void MainWindow::showPlayerVolume(const PlayerCommand &command)
{
    using Kind = PlayerCommand::Kind;
    if (command.kind != Kind::Volume && command.kind != Kind::VolumeStep && command.kind != Kind::Mute)
        return;
    struct Channel
    {
        QSlider *slider;
        QCheckBox *mute;
        int &savedLevel;
    };
    const Channel channel =
        command.channel == VolumeChannel::Xlr   ? Channel{ui->horizontalSlider_XLR, ui->checkBox_XLR, savedLevelXLR}
        : command.channel == VolumeChannel::Rca ? Channel{ui->horizontalSlider_RCA, ui->checkBox_RCA, savedLevelRCA}
                                                : Channel{ui->horizontalSlider_All, ui->checkBox_All, savedLevelAll};
    userSliderAction = false;
    const bool muted = channel.mute->isChecked();
    const int level = muted ? channel.savedLevel : channel.slider->value();
    const auto bounded = [&](int value) { return qBound(channel.slider->minimum(), value, channel.slider->maximum()); };
    switch (command.kind) {
    case Kind::Volume:
    case Kind::VolumeStep: {
        const int next = bounded(command.kind == Kind::Volume ? command.level : level + command.step);
        if (muted)
            channel.savedLevel = next;
        else
            channel.slider->setValue(next);
        break;
    }
    default:
        if (command.mute == muted)
            break;
        {
            const QSignalBlocker quiet(channel.mute);
            channel.mute->setChecked(command.mute);
        }
        applyMute(channel.mute, channel.slider, channel.savedLevel);
        updateMuteWidgets();
        break;
    }
}

// ALL channel

void MainWindow::on_horizontalSlider_All_actionTriggered(int)
{
    userSliderAction = true;
}

void MainWindow::on_horizontalSlider_All_valueChanged(int value)
{
    refreshVolumeLabels();
    if (takeUserSliderAction())
        sendCommand(PlayerCommand::volume(VolumeChannel::All, value));
}

void MainWindow::on_pushButton_All_Min_clicked()
{
    sendCommand(moveToLevel(ui->horizontalSlider_All, VolumeChannel::All, Commands::MinLevel));
}

void MainWindow::on_pushButton_All_Max_clicked()
{
    sendCommand(moveToLevel(ui->horizontalSlider_All, VolumeChannel::All, Commands::MaxLevel));
}

void MainWindow::on_pushButton_All_Plus_clicked()
{
    sendCommand(stepLevel(ui->horizontalSlider_All, VolumeChannel::All, ui->spinBox_All->value()));
}

void MainWindow::on_pushButton_All_Less_clicked()
{
    sendCommand(stepLevel(ui->horizontalSlider_All, VolumeChannel::All, -ui->spinBox_All->value()));
}

void MainWindow::on_checkBox_All_stateChanged(int)
{
    const bool muted = applyMute(ui->checkBox_All, ui->horizontalSlider_All, savedLevelAll);
    sendCommand(PlayerCommand::muteChannel(VolumeChannel::All, muted));
    updateMuteWidgets();
}

// XLR channel

void MainWindow::on_horizontalSlider_XLR_actionTriggered(int)
{
    userSliderAction = true;
}

void MainWindow::on_horizontalSlider_XLR_valueChanged(int value)
{
    refreshVolumeLabels();
    if (takeUserSliderAction())
        sendCommand(PlayerCommand::volume(VolumeChannel::Xlr, value));
}

void MainWindow::on_pushButton_XLR_Min_clicked()
{
    sendCommand(moveToLevel(ui->horizontalSlider_XLR, VolumeChannel::Xlr, Commands::MinLevel));
}

void MainWindow::on_pushButton_XLR_Max_clicked()
{
    sendCommand(moveToLevel(ui->horizontalSlider_XLR, VolumeChannel::Xlr, Commands::MaxLevel));
}

void MainWindow::on_pushButton_XLR_Plus_clicked()
{
    sendCommand(stepLevel(ui->horizontalSlider_XLR, VolumeChannel::Xlr, ui->spinBox_XLR->value()));
}

void MainWindow::on_pushButton_XLR_Less_clicked()
{
    sendCommand(stepLevel(ui->horizontalSlider_XLR, VolumeChannel::Xlr, -ui->spinBox_XLR->value()));
}

void MainWindow::on_checkBox_XLR_stateChanged(int)
{
    const bool muted = applyMute(ui->checkBox_XLR, ui->horizontalSlider_XLR, savedLevelXLR);
    sendCommand(PlayerCommand::muteChannel(VolumeChannel::Xlr, muted));
    updateMuteWidgets();
}

// RCA channel

void MainWindow::on_horizontalSlider_RCA_actionTriggered(int)
{
    userSliderAction = true;
}

void MainWindow::on_horizontalSlider_RCA_valueChanged(int value)
{
    refreshVolumeLabels();
    if (takeUserSliderAction())
        sendCommand(PlayerCommand::volume(VolumeChannel::Rca, value));
}

void MainWindow::on_pushButton_RCA_Min_clicked()
{
    sendCommand(moveToLevel(ui->horizontalSlider_RCA, VolumeChannel::Rca, Commands::MinLevel));
}

void MainWindow::on_pushButton_RCA_Max_clicked()
{
    sendCommand(moveToLevel(ui->horizontalSlider_RCA, VolumeChannel::Rca, Commands::MaxLevel));
}

void MainWindow::on_pushButton_RCA_Plus_clicked()
{
    sendCommand(stepLevel(ui->horizontalSlider_RCA, VolumeChannel::Rca, ui->spinBox_RCA->value()));
}

void MainWindow::on_pushButton_RCA_Less_clicked()
{
    sendCommand(stepLevel(ui->horizontalSlider_RCA, VolumeChannel::Rca, -ui->spinBox_RCA->value()));
}

void MainWindow::on_checkBox_RCA_stateChanged(int)
{
    const bool muted = applyMute(ui->checkBox_RCA, ui->horizontalSlider_RCA, savedLevelRCA);
    sendCommand(PlayerCommand::muteChannel(VolumeChannel::Rca, muted));
    updateMuteWidgets();
}
