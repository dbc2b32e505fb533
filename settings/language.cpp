#include "app/accessiblenames.h"
#include "app/levelcolumn.h"
#include "app/mainwindow.h"
#include "settings/languageactions.h"
#include "ui_mainwindow.h"

#include <QTranslator>

namespace {

// The one translator the program installs. Like the port, it is created
// before main() and lives until the process ends.
QTranslator *const languageTranslator = new QTranslator;

} // namespace

Language checkedLanguage(const Ui::MainWindow &ui)
{
    if (ui.actionFran_ais->isChecked())
        return Language::French;
    if (ui.actionEnglish->isChecked())
        return Language::English;
    return Language::Default;
}

void checkLanguage(Ui::MainWindow &ui, Language language)
{
    ui.actionDefault->setChecked(language == Language::Default);
    ui.actionEnglish->setChecked(language == Language::English);
    ui.actionFran_ais->setChecked(language == Language::French);
}

void MainWindow::applyLanguage()
{
    // Out first, so a language without a translation file shows the
    // program's own English texts rather than the previous language.
    QCoreApplication::removeTranslator(languageTranslator);
    if (loadTranslation(*languageTranslator, translationBaseName(checkedLanguage(*ui))))
        QCoreApplication::installTranslator(languageTranslator);
    ui->retranslateUi(this);
    // The form's texts include placeholder level labels: show the real levels.
    refreshVolumeLabels();
    holdLevelColumn({ui->label_Volume_Value_All, ui->label_Volume_Value_XLR, ui->label_Volume_Value_RCA});
    nameControls(*ui);
}

// Triggering the checked entry unchecks it in the toolkit; each slot checks
// its own entry again and reloads its translation.
void MainWindow::on_actionFran_ais_triggered()
{
    checkLanguage(*ui, Language::French);
    applyLanguage();
}

void MainWindow::on_actionEnglish_triggered()
{
    checkLanguage(*ui, Language::English);
    applyLanguage();
}

void MainWindow::on_actionDefault_triggered()
{
    checkLanguage(*ui, Language::Default);
    applyLanguage();
}
