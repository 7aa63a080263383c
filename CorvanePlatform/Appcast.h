#pragma once

// The update feed: an RSS 2.0 channel whose items each offer one release in an
// <enclosure>, described by the customary sparkle: attributes:
//
//   <item>
//     <title>Corvane Companion 0.2.0</title>
//     <enclosure url="https://…/corvane-companion-0.2.0.tar.gz" length="1234567"
//                type="application/gzip" sparkle:os="linux"
//                sparkle:version="0.2.0" sparkle:shortVersionString="0.2.0"
//                sparkle:edSignature="…Base64…"/>
//   </item>
//
// sparkle:version and sparkle:shortVersionString may also be child elements
// of the item. The prefix is matched as written; its namespace declaration is
// not looked at.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace corvane::platform {

struct AppcastItem {
    QString title;
    QString versionString; // compared with the running version
    QString displayVersionString; // shown to people; the version when the feed has none
    QUrl fileURL; // resolved against the feed's own address
    qint64 contentLength = -1; // -1 when missing or not a number
    QString edSignature; // Base64, as the feed gives it
};

struct Appcast {
    bool ok = false;
    QString error;
    // Items for this system that name a file and a version, in feed order.
    QList<AppcastItem> items;
};

Appcast parseAppcast(const QByteArray &xml, const QUrl &feedURL);

// The newest item that is newer than `currentVersion`, if any.
std::optional<AppcastItem> bestUpdate(const QList<AppcastItem> &items, const QString &currentVersion);

} // namespace corvane::platform
