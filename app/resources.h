#pragma once

class QWidget;

// The images are compiled into a static library, whose resource registration
// the linker would otherwise drop. Call before any ":/images/..." path is used.
void initResources();

// The forms read the window icon relative to the working directory. Started
// from anywhere else, a window shows the copy compiled into the program.
void useCompiledIconIfMissing(QWidget *window);
