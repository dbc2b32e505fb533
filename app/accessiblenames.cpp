#include "app/accessiblenames.h"
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

namespace {

struct ListName
{
    QComboBox *Ui::MainWindow::*list;
    const char *name;
};

// The lists show only their current item, which tells nothing of what it
// chooses.
const ListName listNames[] = {
    {&Ui::MainWindow::comboBox_Serial_Port, QT_TRANSLATE_NOOP("MainWindow", "Port")},
    {&Ui::MainWindow::comboBox_Serial_Baudrate, QT_TRANSLATE_NOOP("MainWindow", "Baud rate")},
    {&Ui::MainWindow::comboBox_Folder, QT_TRANSLATE_NOOP("MainWindow", "Folder number")},
    {&Ui::MainWindow::comboBox_Playlist, QT_TRANSLATE_NOOP("MainWindow", "Playlist number")},
    {&Ui::MainWindow::comboBox_Spot, QT_TRANSLATE_NOOP("MainWindow", "Spot number")},
    {&Ui::MainWindow::comboBox_Spot_Option, QT_TRANSLATE_NOOP("MainWindow", "Spot X value")},
    {&Ui::MainWindow::comboBox_Source, QT_TRANSLATE_NOOP("MainWindow", "Playback source")},
    {&Ui::MainWindow::comboBox_WebRadio, QT_TRANSLATE_NOOP("MainWindow", "Web radio station")},
    {&Ui::MainWindow::comboBox_FTP, QT_TRANSLATE_NOOP("MainWindow", "FTP client number")},
};

QWidget *widgetAt(const QGridLayout &grid, int row, int column)
{
    const QLayoutItem *item = grid.itemAtPosition(row, column);
    return item ? item->widget() : nullptr;
}

// The volume rows hold the same controls with the same tooltips; the
// channel's label at the start of each row tells them apart.
void nameVolumeRows(const QGridLayout &rows)
{
    for (int row = 0; row < rows.rowCount(); ++row) {
        const auto *channel = qobject_cast<const QLabel *>(widgetAt(rows, row, 0));
        if (!channel)
            continue;
        for (int column = 1; column < rows.columnCount(); ++column) {
            QWidget *control = widgetAt(rows, row, column);
            if (qobject_cast<QSlider *>(control))
                control->setAccessibleName(MainWindow::tr("%1 volume").arg(channel->text()));
            else if (qobject_cast<QSpinBox *>(control))
                control->setAccessibleName(MainWindow::tr("%1 volume step").arg(channel->text()));
            else if (qobject_cast<QAbstractButton *>(control))
                control->setAccessibleName(MainWindow::tr("%1 %2", "volume channel, then a button's tooltip")
                                               .arg(channel->text(), control->toolTip()));
        }
    }
}

} // namespace

void nameControls(Ui::MainWindow &ui)
{
    // A button showing only an icon says what it does in its tooltip.
    for (QAbstractButton *button : ui.centralWidget->findChildren<QAbstractButton *>()) {
        if (button->text().isEmpty())
            button->setAccessibleName(button->toolTip());
    }
    for (const ListName &entry : listNames)
        (ui.*entry.list)->setAccessibleName(MainWindow::tr(entry.name));
    // The volume rows: the grid inside the volume group that lays out the
    // channels' sliders.
    for (const QGridLayout *rows : ui.groupBox_Volume->findChildren<QGridLayout *>()) {
        if (rows->indexOf(ui.horizontalSlider_All) >= 0)
            nameVolumeRows(*rows);
    }
}
