#pragma once

#include "base/interfacelanguage.h"

namespace Ui {
class MainWindow;
}

// The language whose entry is checked in the Languages menu. French wins
// over English, and both over the system language, should more than one
// entry be checked.
Language checkedLanguage(const Ui::MainWindow &ui);

// Checks the entry of the language and unchecks the other two: the entries
// are plain checkable actions, not an exclusive group.
void checkLanguage(Ui::MainWindow &ui, Language language);
