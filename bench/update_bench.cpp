// What an update costs: reading a long feed, verifying the signature of a
// release the size of the real one, unpacking it beside the installed copy,
// swapping it in, and a whole check from start() to "update.ready" against a
// feed on 127.0.0.1.

#include "CompanionUpdater.h"

#include "Appcast.h"
#include "UpdateInstall.h"
#include "UpdateSignature.h"
#include "UserDefaults.h"

#include "BenchTiming.h"
#include "Eventually.h"
#include "TempHome.h"
#include "TestHttpServer.h"
#include "UpdateRelease.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>

namespace {

using namespace corvane;
using namespace corvane::bench;

QList<test::FeedItem> manyItems(const QString &url, int count)
{
    QList<test::FeedItem> items;
    for (int i = 0; i < count; ++i)
        items.append({QStringLiteral("0.%1.0").arg(i), url, 20000000, QString(88, QLatin1Char('A'))});
    return items;
}

} // namespace

int main(int argc, char **argv)
{
    test::TempHome home;
    QCoreApplication app(argc, argv);
    QTemporaryDir work;

    // The layout of a release, with the real executable in it.
    const QString next = work.path() + QStringLiteral("/next");
    test::makeInstalledLayout(next, QStringLiteral(CORVANE_COMPANION_EXECUTABLE));
    const test::SigningKey key = test::SigningKey::make(work.path());
    const test::SignedArchive release = test::packRelease(next, work.path() + QStringLiteral("/next.tar.gz"), key);
    std::printf("release archive: %.1f MB (executable %.1f MB)\n", double(release.length) / 1e6,
                double(QFileInfo(QStringLiteral(CORVANE_COMPANION_EXECUTABLE)).size()) / 1e6);

    const QByteArray feed = test::appcastFeed(manyItems(QStringLiteral("https://example.org/r.tar.gz"), 200));
    report("parse a 200-item feed",
           timesInMs(200, [&] { platform::parseAppcast(feed, QUrl(QStringLiteral("https://example.org/a.xml"))); }));
    report("verify the release's signature",
           timesInMs(50, [&] { platform::checkEd25519Signature(release.bytes, release.signature, key.publicKey); }));

    const QString prefix = work.path() + QStringLiteral("/opt/corvane-companion");
    const QString installed = test::makeInstalledLayout(prefix, QStringLiteral(CORVANE_COMPANION_EXECUTABLE));
    const platform::Bundle bundle = platform::bundleForExecutable(installed);
    report("check the installed copy may be replaced", timesInMs(50, [&] { platform::checkReplaceable(bundle); }));
    report("unpack the release beside it",
           timesInMs(20, [&] { platform::stageUpdate(bundle, work.path() + QStringLiteral("/next.tar.gz")); }));
    report("swap it in (and back)", timesInMs(20, [&] {
               platform::swapInStagedUpdate(bundle);
               QDir().rename(platform::previousCopyPath(bundle), platform::stagedCopyPath(bundle));
           }));
    platform::discardStagedUpdate(bundle);

    test::TestHttpServer server([&](const QByteArray &path) -> QByteArray {
        if (path == "/appcast.xml")
            return test::httpReply("200 OK", "application/rss+xml",
                                   test::appcastFeed(
                                       {{QStringLiteral("9.9.9"), QString::fromUtf8(server.url("/r.tar.gz")),
                                         release.length, release.signature}}));
        return test::httpReply("200 OK", "application/gzip", release.bytes);
    });
    platform::UserDefaults::setString(QStringLiteral("companionAppcastURL"),
                                      QString::fromUtf8(server.url("/appcast.xml")));
    report("start() to \"update.ready\" (feed, download, verify, unpack)", timesInMs(10, [&] {
               UpdaterHooks hooks = UpdaterHooks::standard();
               hooks.bundle = bundle;
               hooks.bundle.info
                   = {{platform::shortVersionKey, QStringLiteral("0.1.0")}, {platform::publicEDKeyKey, key.publicKey}};
               const qsizetype before = home.events(QStringLiteral("update.ready")).size();
               CompanionUpdater updater(hooks);
               updater.start();
               test::eventuallyHandlingEvents(
                   [&] { return home.events(QStringLiteral("update.ready")).size() > before; }, 60);
           }));
    return 0;
}
