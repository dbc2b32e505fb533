#pragma once

// The images are compiled into a static library, whose resource registration
// the linker would otherwise drop. Call before any ":/images/..." path is used.
void initResources();
