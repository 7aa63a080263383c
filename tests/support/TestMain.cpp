// Every test binary runs with a Qt application object (the URL session and
// Qt's networking expect one) inside a temporary home of its own. Suites of
// the application's drawing get a GUI application on the offscreen platform.

#include "CompanionProcess.h"
#include "TempHome.h"

#include <QCoreApplication>
#ifdef CORVANE_TEST_GUI
#include <QApplication>
#endif

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    qputenv("AGENT_BROWSER_NO_VERSION_CHECK", "1");
    corvane::test::TempHome home;
    corvane::test::useChromeGate();
#ifdef CORVANE_TEST_GUI
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    return RUN_ALL_TESTS();
}
