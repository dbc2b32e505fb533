#include "app/mainwindow.h"
#include "base/configurationfile.h"
#include "settings/languageactions.h"
#include "ui_mainwindow.h"

namespace {

QStringList itemTexts(const QComboBox &combo)
{
    QStringList texts;
    for (int i = 0; i < combo.count(); ++i)
        texts << combo.itemText(i);
    return texts;
}

// A stored rate that is not offered selects the first item.
void selectStoredItem(QComboBox &combo, const QString &value)
{
    combo.setCurrentIndex(indexForStoredValue(itemTexts(combo), value));
}

// The saved port is restored even while the system does not list it, so
// that an auto-connection waits for that port instead of opening another.
void selectStoredPort(QComboBox &combo, const QString &value)
{
    if (!value.isEmpty() && combo.findText(value) < 0)
        combo.addItem(value);
    selectStoredItem(combo, value);
}

} // namespace

// Only the widgets change: the constructor applies the language and opens a
// saved auto-connection afterwards. A missing or foreign file changes nothing.
void MainWindow::loadConfiguration()
{
    const std::optional<Configuration> saved = readConfigurationFile(configurationPaths().readPath);
    if (!saved)
        return;
    selectStoredPort(*ui->comboBox_Serial_Port, saved->port);
    selectStoredItem(*ui->comboBox_Serial_Baudrate, saved->baudRate);
    ui->checkBox_AutoConnect->setChecked(saved->autoConnect);
    checkLanguage(*ui, saved->language);
}

// Failing silently is safe: a save that cannot complete leaves the previous
// file whole.
void MainWindow::saveConfiguration()
{
    Configuration current;
    current.port = ui->comboBox_Serial_Port->currentText();
    current.baudRate = ui->comboBox_Serial_Baudrate->currentText();
    current.autoConnect = ui->checkBox_AutoConnect->isChecked();
    current.language = checkedLanguage(*ui);
    writeConfigurationFile(configurationPaths().savePath, current);
}
