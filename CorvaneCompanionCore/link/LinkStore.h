#pragma once

// The one link to a chat service: its origin and the secret token the user
// approved, kept only in "link.json". Nothing is cached; every reader reads
// the file again, so deleting it unlinks the companion everywhere.

#include <QString>
#include <QUrl>

#include <optional>

namespace corvane {

// Fixed at build time (CMake cache options).
extern const QString productionChat; // https origin
extern const QString localChat; // http origin on port 5001

struct CompanionLink {
    QString host; // origin as stored: scheme, host, optional port; no path
    QString token; // 24 URL-safe base64 characters

    // The page where the user approves the link; none when it does not parse.
    std::optional<QUrl> connectURL() const;
    // The job channel: the host with http(s) mapped to ws(s), the token and
    // the encoded application version; none when it does not parse.
    std::optional<QUrl> socketURL() const;

    friend bool operator==(const CompanionLink &, const CompanionLink &) = default;
};

// Every URL of a link is its text parsed strictly; none when it does not parse.
std::optional<QUrl> parsedURL(const QString &text);

// "link.json" in the companion's folder, which every call creates (private
// to the user) when it is missing.
QString linkFileURL();

// None when the file is missing, unreadable, not a JSON object, or lacks a
// non-empty string host or token. Other members are ignored.
std::optional<CompanionLink> loadLink();
// The same reading of the file's bytes.
std::optional<CompanionLink> linkFromFileBytes(const QByteArray &bytes);
// Replaces the file atomically, readable by the user alone. Failures are
// ignored: the next loadLink() then shows the companion unlinked.
void saveLink(const CompanionLink &link);
void clearLink();

QString newLinkToken();
// A new link is made only when none is stored; the user disconnects first.
bool connectAllowed(const std::optional<CompanionLink> &existing);
// The host name of an origin for menus and event fields; the text itself
// when it has none.
QString chatHostLabel(const QString &host);

} // namespace corvane
