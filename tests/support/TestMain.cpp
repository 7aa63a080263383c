// Every test binary runs with a Qt application object (the URL session and
// Qt's networking expect one) inside a temporary home of its own.

#include "TempHome.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    qputenv("AGENT_BROWSER_NO_VERSION_CHECK", "1");
    corvane::test::TempHome home;
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
