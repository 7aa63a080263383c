#include "BrowserStage.h"

#include "FakeAgentBrowser.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeTarget.h"

namespace corvane::test {

BrowserStage::BrowserStage()
    : toolLinked(linkRealAgentBrowser())
    , flags_("CORVANE_CHROME_FLAGS", quietChromiumSwitches().join(QLatin1Char(' ')))
    , chromium(chromePort, companionChromeProfile())
{
}

BrowserStage::~BrowserStage()
{
    chromium.stop();
    stopChromeOn(companionChromeProfile());
    stopAgentBrowserSessions();
}

bool BrowserStage::ensureChromium()
{
    return chromeIsReady(QStringLiteral("127.0.0.1"), chromePort) || chromium.start();
}

} // namespace corvane::test
