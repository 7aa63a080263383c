#include "GatedCompanion.h"

#include "Chromium.h"
#include "FakeAgentBrowser.h"
#include "LocalHttp.h"

#include "chrome/ChromeTarget.h"

namespace corvane::test {

GatedCompanion::GatedCompanion(const QMap<QByteArray, QByteArray> &pages, const QString &localOrigins)
    : flags_("CORVANE_CHROME_FLAGS", quietChromiumSwitches().join(QLatin1Char(' ')))
    , origins_("CORVANE_LOCAL_ORIGINS", QStringLiteral("http://127.0.0.1:*,") + localOrigins)
    , toolLinked(linkRealAgentBrowser())
    , server(htmlPages(pages))
{
    if (!process.waitListening())
        return;
    opened = postJson(port, "/open", {{"url", QString::fromLatin1(server.url("/"))}}).json().value("ok").toBool();
    if (!home.logged("chrome.launch").isEmpty())
        gatePort = home.logged("chrome.launch").last()["port"].toUShort();
}

GatedCompanion::~GatedCompanion()
{
    process.stop();
    stopChromeOn(companionChromeProfile());
    stopAgentBrowserSessions();
}

bool GatedCompanion::browserRuns() const
{
    // The gate's main process and Chrome's, both on the companion's profile.
    return chromePidsOn(companionChromeProfile()).size() >= 2;
}

} // namespace corvane::test
