#pragma once

#include <QDialog>

namespace Ui {
class AboutWindows;
}

// Help > About: the program's name and version, its maker with a link to the
// home page, and the system it runs on, beside a picture.
class AboutWindows : public QDialog
{
    Q_OBJECT

public:
    explicit AboutWindows(QWidget *parent = nullptr);
    ~AboutWindows() override;

    // Re-applies the translated texts and fills in the information text from
    // the values the application object holds now.
    void updateInformation();

    static QString operatingSystemDescription();

private slots:
    void on_pushButton_close_clicked();

private:
    Ui::AboutWindows *ui;
};
