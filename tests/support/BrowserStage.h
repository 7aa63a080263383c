#pragma once

#include "Chromium.h"
#include "TempHome.h"

namespace corvane::test {

// What a suite that drives a real browser sets up once: a temporary home, the
// real agent-browser linked into it, quiet switches for any Chrome the
// companion starts itself, and a headless Chromium on the companion's own
// profile. On destruction every browser process started under that home is
// ended before the home goes.
class BrowserStage {
public:
    static constexpr qint64 chromePort = 9222;

    BrowserStage();
    ~BrowserStage();
    BrowserStage(const BrowserStage &) = delete;
    BrowserStage &operator=(const BrowserStage &) = delete;

    // Chromium answers on its port, started (again) when it did not.
    bool ensureChromium();

    TempHome home;
    const bool toolLinked;

private:
    ScopedEnv flags_;

public:
    Chromium chromium;
};

} // namespace corvane::test
