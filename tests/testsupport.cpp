#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

void failOnConnectionWarnings()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral("connectSlotsByName|No matching signal")));
}

void selectPort(const QWidget &window, const QString &path)
{
    auto *ports = child<QComboBox>(window, "comboBox_Serial_Port");
    int index = ports->findText(path);
    if (index < 0) {
        ports->addItem(path);
        index = ports->count() - 1;
    }
    ports->setCurrentIndex(index);
}

void selectBaudRate(const QWidget &window, const QString &rate)
{
    auto *rates = child<QComboBox>(window, "comboBox_Serial_Baudrate");
    rates->setCurrentIndex(rates->findText(rate));
}

void clickButton(const QWidget &window, const char *name)
{
    auto *button = child<QPushButton>(window, name);
    Q_ASSERT_X(button, "clickButton", name);
    QTest::mouseClick(button, Qt::LeftButton);
}

void removeSavedSettings()
{
    const QDir directory(QCoreApplication::applicationDirPath());
    QFile::remove(directory.absoluteFilePath(QCoreApplication::applicationName() + QLatin1String(".cfg")));
}
