#include "app/levelcolumn.h"

#include "app/mainwindow.h"
#include "base/interfacelanguage.h"
#include "command/playercommand.h"

#include <QLabel>
#include <QTranslator>

#include <algorithm>

QString levelText(int level)
{
    if (level <= Commands::MinLevel)
        return MainWindow::tr("Mute");
    return QString::number(level) + QLatin1String(" dB");
}

void holdLevelColumn(const QList<QLabel *> &labels)
{
    // The bottom of the range is a word that the language changes: measure
    // it in both, so switching languages does not move the rows either.
    QStringList texts = {QStringLiteral("Mute")};
    QTranslator french;
    if (loadTranslation(french, translationBaseName(Language::French)))
        texts << french.translate("MainWindow", "Mute");
    for (int level = Commands::MinLevel; level <= Commands::MaxLevel; ++level)
        texts << levelText(level);
    for (QLabel *label : labels) {
        const QString shown = label->text();
        int widest = 0;
        // The label's own size hint counts its margins and style as the
        // layout will.
        for (const QString &text : std::as_const(texts)) {
            label->setText(text);
            widest = std::max(widest, label->sizeHint().width());
        }
        label->setText(shown);
        label->setMinimumWidth(widest);
    }
}
