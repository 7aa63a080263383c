#pragma once

#include "BrowserStage.h"
#include "TestHttpServer.h"

#include <QMap>

#include <gtest/gtest.h>

namespace corvane::test {

// The fixture of a suite that drives the real browser: one stage for the
// whole suite (a temporary home, the real tool, a headless Chromium) and the
// suite's own pages on 127.0.0.1. Every test starts with the tool in place
// and Chromium answering, started again when an earlier test ended it.
class BrowserSuite : public testing::Test {
protected:
    // For the suite's SetUpTestSuite.
    static void startStage()
    {
        stage = new BrowserStage;
        home = &stage->home;
    }
    static void servePages(const QMap<QByteArray, QByteArray> &html) { pages = new TestHttpServer(htmlPages(html)); }

    static void TearDownTestSuite()
    {
        delete pages;
        pages = nullptr;
        home = nullptr;
        delete stage;
        stage = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(stage->toolLinked) << "agent-browser is not installed where ./dev puts it";
        ASSERT_TRUE(stage->ensureChromium()) << "Chromium did not come up on port " << BrowserStage::chromePort;
    }

    static inline BrowserStage *stage = nullptr;
    static inline TempHome *home = nullptr;
    static inline TestHttpServer *pages = nullptr;
};

} // namespace corvane::test
