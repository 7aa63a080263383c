// Every test binary runs with a Qt application object (the URL session and
// Qt's networking expect one) inside a temporary home of its own. Suites of
// the application's drawing get a GUI application on the offscreen platform;
// suites on the stage start the companion's Chrome behind its gate.

#include "TempHome.h"
#ifdef CORVANE_TEST_STAGE
#include "CompanionProcess.h"
#endif

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
#ifdef CORVANE_TEST_STAGE
    corvane::test::useChromeGate();
#endif
#ifdef CORVANE_TEST_GUI
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    return RUN_ALL_TESTS();
}
