#include "DesktopSession.h"

#include "ChromePlatform.h"

#include <QtGlobal>

namespace corvane {

bool prepareDesktopSession()
{
    if (!platform::hasGraphicalDisplay())
        return false;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
        qputenv("QT_QPA_PLATFORM", x11 ? "xcb;offscreen" : "wayland;offscreen");
    }
    return true;
}

} // namespace corvane
