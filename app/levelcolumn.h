#pragma once

#include <QList>
#include <QString>

class QLabel;

// The text of a channel's level label: "-20 dB", or "Mute" at the bottom of
// the range.
QString levelText(int level);

// Widens the level labels to the widest text they can show, every level in
// English and in French, so that the controls beside them stay where they
// are whatever the level. Called again after a change of font or language.
void holdLevelColumn(const QList<QLabel *> &labels);
