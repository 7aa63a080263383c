#include "GatedCompanion.h"

#include "Chromium.h"
#include "FakeAgentBrowser.h"
#include "LocalHttp.h"

#include "chrome/ChromeTarget.h"

#include <QDir>
#include <QFileInfo>

namespace corvane::test {

namespace {

bool writeFiles(const QString &home, const QMap<QString, QByteArray> &files)
{
    bool written = QDir().mkpath(home + QStringLiteral("/project"));
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QString path = home + QLatin1Char('/') + it.key();
        written = QDir().mkpath(QFileInfo(path).absolutePath()) && writeFile(path, it.value()) && written;
    }
    return written;
}

CompanionProcess::Options inProject(const QString &home)
{
    CompanionProcess::Options options;
    options.workingDirectory = home + QStringLiteral("/project");
    return options;
}

} // namespace

GatedCompanion::GatedCompanion(const QMap<QByteArray, QByteArray> &pages, const QString &localOrigins,
                               const QMap<QString, QByteArray> &files)
    : flags_("CORVANE_CHROME_FLAGS", quietChromiumSwitches().join(QLatin1Char(' ')))
    , origins_("CORVANE_LOCAL_ORIGINS", QStringLiteral("http://127.0.0.1:*,") + localOrigins)
    , toolLinked(linkRealAgentBrowser())
    , server(htmlPages(pages))
    , filesWritten(writeFiles(home.path(), files))
    , process(inProject(home.path()))
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
