#pragma once

class QIcon;
class QWidget;

// The images are compiled into a static library, whose resource registration
// the linker would otherwise drop. Call before any ":/images/..." path is used.
void initResources();

// The window icon compiled into the program, at 16, 32 and 48 px, and with
// All at 256 px as well. Each size is read from its file when first drawn.
enum class IconSizes { Small, All };
QIcon compiledWindowIcon(IconSizes sizes);

// The forms read the window icon relative to the working directory. Started
// from anywhere else, a window shows the copy compiled into the program.
// Returns whether it did.
bool useCompiledIconIfMissing(QWidget *window, IconSizes sizes = IconSizes::All);
