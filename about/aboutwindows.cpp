#include "about/aboutwindows.h"
#include "app/resources.h"
#include "base/aboutinfo.h"
#include "ui_aboutwindows.h"

AboutWindows::AboutWindows(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::AboutWindows)
{
    initResources();
    ui->setupUi(this);
    useCompiledIconIfMissing(this);
}

AboutWindows::~AboutWindows()
{
    delete ui;
}

void AboutWindows::updateInformation()
{
    ui->retranslateUi(this);
    ui->label_infos->setText(AboutInfo::informationText(AboutInfo::currentIdentity(), operatingSystemDescription()));
}

QString AboutWindows::operatingSystemDescription()
{
    return AboutInfo::currentOperatingSystemLine();
}

void AboutWindows::on_pushButton_close_clicked()
{
    close();
}
