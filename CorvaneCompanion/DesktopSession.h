#pragma once

// Whether this process can show anything on a desktop, decided before the Qt
// application object is made.

namespace corvane {

// True when a display is named. Then a display that cannot be reached falls
// back to Qt's offscreen platform (the companion runs headless) instead of
// aborting, unless the user chose a Qt platform.
bool prepareDesktopSession();

} // namespace corvane
