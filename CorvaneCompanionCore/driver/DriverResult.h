#pragma once

// The result of one browser action and its reply JSON, the driver's public
// constants and the human-verification test.

#include "wire/Body.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>

#include <optional>

namespace corvane {

inline const QString chromeOffText
    = QStringLiteral("Chrome debugging is off. Open Chrome with remote debugging on port 9222.");
inline const QString noWorkTabText = QStringLiteral("The work tab is not open. Call browser_open with the page.");
inline const QString agentSession = QStringLiteral("corvane");

// Returned when the reply itself cannot be written.
inline const QString replyFailureJson
    = QStringLiteral(R"({"ok":false,"text":"Could not write a reply.","needs_you":false,"chrome":false})");

// A file the work tab downloaded; `bytes` so far while it is not finished.
struct DownloadInfo {
    QString name;
    qint64 bytes = 0;
    QString path; // the file, or the folder it goes to while unfinished
    bool finished = false;

    friend bool operator==(const DownloadInfo &, const DownloadInfo &) = default;
};

// A dialog that stopped an action: "alert", "confirm", "prompt", "beforeunload".
struct DialogInfo {
    QString kind;
    QString message;

    friend bool operator==(const DialogInfo &, const DialogInfo &) = default;
};

struct DriverResult {
    bool ok = false;
    QString text;
    bool needsYou = false;
    bool chrome = false;
    QString title;
    QString url;
    QString image;
    // Details the text says too; object() leaves them out, details() has them.
    std::optional<DownloadInfo> download;
    std::optional<DialogInfo> dialog;
    QString newTabUrl;

    // "ok", "text", "needs_you", "chrome" always; "title", "url" and "image"
    // only when non-empty. A result whose texts cannot be written as UTF-8
    // gives the object of replyFailureJson.
    QJsonObject object() const;
    // "new_tab", "dialog" ({"type", "message"}) and "download" ({"name",
    // "bytes", "path", "finished"}), each when there is one.
    QJsonObject details() const;
    // object() as compact JSON; replyFailureJson itself for an unwritable one.
    QString json() const;
    // Its texts can be written as UTF-8.
    bool writable() const;

    friend bool operator==(const DriverResult &, const DriverResult &) = default;
};

// True when the text shows a human-verification page (captcha and the like).
bool needsYou(const QString &text);
// The phrases needsYou looks for, lower-case.
const QStringList &needsYouPhrases();

} // namespace corvane
