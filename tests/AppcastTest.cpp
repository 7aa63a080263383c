// The update feed, version order and signature checks, as tables.

#include "Appcast.h"
#include "UpdateSignature.h"
#include "VersionComparison.h"

#include "QtPrinting.h"
#include "TempHome.h"
#include "UpdateRelease.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace corvane;
using namespace corvane::platform;

namespace {

TEST(VersionComparison, OrdersReleasesTheWayFeedsDo)
{
    struct Case {
        const char *a;
        const char *b;
        int order;
    } const cases[] = {
        {"1.0", "1.0", 0},
        {"1.0", "1.0.0", 0},
        {"1.0.0.0", "1", 0},
        {"01.2", "1.2", 0},
        {"1.9", "1.10", -1},
        {"2", "10", -1},
        {"0.1.0", "0.2.0", -1},
        {"1.0.1", "1.0", 1},
        {"1.2.3.4", "1.2.3", 1},
        {"1.0b1", "1.0", -1},
        {"1.0.0b1", "1.0", -1},
        {"1.0rc1", "1.0", -1},
        {"1.0a1", "1.0b1", -1},
        {"1.0b1", "1.0b2", -1},
        {"1.0b9", "1.0b10", -1},
        {"1.0.1", "1.0b1", 1},
        {"1.0-rc.2", "1.0-rc.1", 1},
        {"", "0", 0},
        {"", "0.1", -1},
        {"1.99999999999999999999", "1.100000000000000000000", -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        const QString a = QString::fromUtf8(c.a);
        const QString b = QString::fromUtf8(c.b);
        EXPECT_EQ(compareVersions(a, b), c.order);
        EXPECT_EQ(compareVersions(b, a), -c.order);
    }
}

const QUrl feedURL(QStringLiteral("https://updates.example/corvane/appcast.xml"));

QByteArray channel(const QByteArray &items)
{
    return "<?xml version=\"1.0\"?><rss version=\"2.0\" xmlns:sparkle=\"urn:x\"><channel><title>C</title>" + items
        + "</channel></rss>";
}

TEST(Appcast, ReadsTheItemsForThisSystem)
{
    const Appcast feed = parseAppcast(
        channel(
            "<item><title>Two</title>"
            "<enclosure url=\"corvane-0.2.0.tar.gz\" length=\"1234\" sparkle:version=\"0.2.0\""
            " sparkle:shortVersionString=\"0.2 (spring)\" sparkle:edSignature=\" c2ln \" sparkle:os=\"linux\"/></item>"
            "<item><title>Mac only</title><enclosure url=\"m.zip\" length=\"1\" sparkle:version=\"0.3.0\""
            " sparkle:os=\"macos\"/></item>"
            "<item><title>Elements</title><sparkle:version>0.1.5</sparkle:version>"
            "<sparkle:shortVersionString>0.1.5 "
            "beta</sparkle:shortVersionString><description><p>nested</p></description>"
            "<enclosure url=\"https://cdn.example/c.tar.gz\" length=\"x\" sparkle:edSignature=\"s\"/></item>"
            "<item><title>No file</title><sparkle:version>0.9</sparkle:version></item>"
            "<item><title>No version</title><enclosure url=\"v.tar.gz\" length=\"5\"/></item>"
            "<item><title>Bad address</title><enclosure url=\"https://u.]example/b.tar.gz\" "
            "sparkle:version=\"9.0\"/></item>"),
        feedURL);
    ASSERT_TRUE(feed.ok) << feed.error;
    ASSERT_EQ(feed.items.size(), 2);
    const AppcastItem &two = feed.items[0];
    EXPECT_EQ(two.title, QStringLiteral("Two"));
    EXPECT_EQ(two.versionString, QStringLiteral("0.2.0"));
    EXPECT_EQ(two.displayVersionString, QStringLiteral("0.2 (spring)"));
    EXPECT_EQ(two.fileURL, QUrl(QStringLiteral("https://updates.example/corvane/corvane-0.2.0.tar.gz")));
    EXPECT_EQ(two.contentLength, 1234);
    EXPECT_EQ(two.edSignature, QStringLiteral("c2ln"));
    const AppcastItem &elements = feed.items[1];
    EXPECT_EQ(elements.versionString, QStringLiteral("0.1.5"));
    EXPECT_EQ(elements.displayVersionString, QStringLiteral("0.1.5 beta"));
    EXPECT_EQ(elements.fileURL, QUrl(QStringLiteral("https://cdn.example/c.tar.gz")));
    EXPECT_EQ(elements.contentLength, -1);
}

TEST(Appcast, TellsWhyAFeedIsUnusable)
{
    struct Case {
        const char *name;
        QByteArray body;
        const char *error; // empty: the feed is fine
    } const cases[] = {
        {"empty", "", "not XML"},
        {"plain text", "Service Unavailable", "not XML"},
        {"an HTML page", "<html><body>Not found</body></html>", "not an RSS feed"},
        {"cut off", channel("<item><title>x</title>").chopped(20), "not well-formed"},
        {"mismatched tags", "<rss><channel><item></channel></rss>", "not well-formed"},
        {"undeclared prefix", "<rss><channel><item><enclosure url=\"a\" sparkle:version=\"1\"/></item></channel></rss>",
         ""},
        {"no items", channel(""), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Appcast feed = parseAppcast(c.body, feedURL);
        EXPECT_EQ(feed.ok, *c.error == 0);
        EXPECT_TRUE(feed.error.contains(QString::fromUtf8(c.error))) << feed.error;
        if (!feed.ok) {
            EXPECT_TRUE(feed.items.isEmpty());
        }
    }
}

TEST(Appcast, BestUpdateIsTheNewestNewerItem)
{
    const auto items = [](std::initializer_list<const char *> versions) {
        QList<AppcastItem> list;
        for (const char *version : versions) {
            AppcastItem item;
            item.versionString = QString::fromUtf8(version);
            list << item;
        }
        return list;
    };
    struct Case {
        QList<AppcastItem> items;
        const char *current;
        const char *best; // empty: no update
    } const cases[] = {
        {items({}), "0.1.0", ""},
        {items({"0.1.0"}), "0.1.0", ""},
        {items({"0.1"}), "0.1.0", ""},
        {items({"0.0.9", "0.1.0"}), "0.1.0", ""},
        {items({"0.2.0"}), "0.1.0", "0.2.0"},
        {items({"0.2.0", "0.10.0", "0.3.0"}), "0.1.0", "0.10.0"},
        {items({"0.2.0b1"}), "0.1.0", "0.2.0b1"},
        {items({"0.2.0b1", "0.2.0"}), "0.1.0", "0.2.0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.current);
        const std::optional<AppcastItem> best = bestUpdate(c.items, QString::fromUtf8(c.current));
        EXPECT_EQ(best.has_value(), *c.best != 0);
        if (best) {
            EXPECT_EQ(best->versionString, QString::fromUtf8(c.best));
        }
    }
}

TEST(UpdateSignature, TrustsOnlyTheKeysOwnSignatureOfTheseBytes)
{
    QTemporaryDir dir;
    QTemporaryDir otherDir;
    const test::SigningKey key = test::SigningKey::make(dir.path());
    const test::SigningKey other = test::SigningKey::make(otherDir.path());
    const QByteArray data("release bytes\0with a zero", 25);
    const QString file = dir.path() + QStringLiteral("/release.tar.gz");
    ASSERT_TRUE(test::writeFile(file, data));
    const test::FileSignature signature = test::signFile(file, key);
    ASSERT_EQ(signature.length, data.size());
    QByteArray flipped = data;
    flipped[3] = char(flipped[3] ^ 1);

    struct Case {
        const char *name;
        QByteArray data;
        QString signature;
        QString publicKey;
        const char *error; // empty: trusted
    } const cases[] = {
        {"the key's own signature", data, signature.signature, key.publicKey, ""},
        {"one bit changed", flipped, signature.signature, key.publicKey, "does not match"},
        {"one byte more", data + "x", signature.signature, key.publicKey, "does not match"},
        {"another key", data, signature.signature, other.publicKey, "does not match"},
        {"no signature", data, QString(), key.publicKey, "not a Base64 Ed25519 signature"},
        {"signature not Base64", data, QStringLiteral("%%%%"), key.publicKey, "not a Base64 Ed25519 signature"},
        {"signature cut short", data, signature.signature.left(40), key.publicKey, "not a Base64 Ed25519 signature"},
        {"no key", data, signature.signature, QString(), "public key"},
        {"key of the wrong size", data, signature.signature, QStringLiteral("c2hvcnQ="), "public key"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const SignatureCheck check = checkEd25519Signature(c.data, c.signature, c.publicKey);
        EXPECT_EQ(check.ok, *c.error == 0);
        EXPECT_TRUE(check.error.contains(QString::fromUtf8(c.error))) << check.error;
    }
    EXPECT_TRUE(isEd25519PublicKey(key.publicKey));
    EXPECT_FALSE(isEd25519PublicKey(QStringLiteral("c2hvcnQ=")));
    EXPECT_FALSE(isEd25519PublicKey(QString()));
}

} // namespace
