#pragma once

namespace Ui {
class MainWindow;
}

// Gives each control whose meaning is not in a text of its own (icon buttons,
// the volume rows, the parameter lists) an accessible name in the current
// language, so that assistive tools name the control rather than the group
// box around it. Call after every retranslation.
void nameControls(Ui::MainWindow &ui);
