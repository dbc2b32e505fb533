#pragma once

// Names the program, its version and its maker in the application object.
// Call before the application object is created.
void setApplicationIdentity();
