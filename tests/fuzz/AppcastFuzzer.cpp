// Update feeds from any bytes: items are whole, and the best one is newer.

#include "FuzzSupport.h"

#include "Appcast.h"
#include "VersionComparison.h"

using namespace corvane::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray xml(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const Appcast feed = parseAppcast(xml, QUrl(QStringLiteral("https://updates.example/appcast.xml")));
    for (const AppcastItem &item : feed.items)
        corvane::fuzz::require(!item.versionString.isEmpty() && item.fileURL.isValid(),
                               "an item names a version and a file");
    const QString running = QStringLiteral("1.0");
    if (const std::optional<AppcastItem> best = bestUpdate(feed.items, running))
        corvane::fuzz::require(compareVersions(best->versionString, running) > 0, "the update is newer");
    return 0;
}
