#pragma once

// What an action set going in the work tab, seen over the browser's own
// debugging protocol: the requests it started, a navigation, changes to the
// page, a download. Made before the action, asked after it. A watch that
// cannot start (no connection, a tab that went away) sees nothing, and the
// action's result is what it would have been without it.

#include "driver/DriverResult.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <optional>

namespace corvane {

class DevToolsSession;

inline constexpr double settleQuietSeconds = 0.15;
inline constexpr double settleLimitSeconds = 3.0;
inline constexpr qsizetype changedTextLimit = 2000;

inline const QString changedTextHeading = QStringLiteral("New or changed text on the page:");
inline const QString goneTextHeading = QStringLiteral("No longer on the page:");
// What each of the page's lines begins with under those headings.
inline const QString pageLineMark = QStringLiteral("> ");

// The page's visible text lines that are not in `before` (each line of
// `before` accounts for one equal line after), in page order, under the
// heading; then the lines of `before` that are gone, under theirs. Each line
// is marked as the page's; both share changedTextLimit (what is new first),
// cut at a line with a note. Empty when nothing came or went. A new line the
// snapshot already names ("...") is left out.
QString changedTextSection(const QStringList &before, const QStringList &after, const QString &snapshot = {});

// "Downloaded report.pdf (48,213 bytes) to /home/u/Downloads/Corvane/report.pdf",
// or the still-running form.
QString downloadSentence(const DownloadInfo &download);

// Where a download still coming is going, for the sentence that says so.
inline const QString chromeDownloadsText = QStringLiteral("Chrome's download folder");

// The folder the work tab's downloads are moved to once Chrome has saved
// them; created private on first use.
QString companionDownloadsFolder();

// The watch's connection outlives the watch: Chrome takes a while to tear a
// closed one down, and the step after the action waited for it. One is kept,
// for the port it was made to; the user's Chrome keeps its own download
// behaviour meanwhile.
class KeptConnection {
public:
    KeptConnection();
    ~KeptConnection();
    KeptConnection(const KeptConnection &) = delete;
    KeptConnection &operator=(const KeptConnection &) = delete;

    // The connection kept for `port`, if it is still open; it is the
    // caller's now.
    std::unique_ptr<DevToolsSession> take(qint64 port);
    void keep(std::unique_ptr<DevToolsSession> session, qint64 port);
    // Closes the kept one: the network thread it needs is about to end.
    void drop();

private:
    std::mutex lock_;
    std::unique_ptr<DevToolsSession> session_;
    qint64 port_ = 0;
};

class ActionWatch {
public:
    // Starts watching the tab `targetId` on the Chrome at `port`.
    ActionWatch(KeptConnection &kept, qint64 port, const QString &targetId);
    ~ActionWatch();
    ActionWatch(const ActionWatch &) = delete;
    ActionWatch &operator=(const ActionWatch &) = delete;

    bool watching() const;
    // Waits until the page has been quiet for settleQuietSeconds (no
    // requests of its own running, no frame loading, no change to the
    // document, no download of its still coming), for at most
    // settleLimitSeconds.
    void settle();
    // Counts the page's quiet from now on, not from the watch's start: for
    // a step whose page goes on only after it (a dialog answered), where
    // the time before says nothing.
    void quietFromNow();
    // After settle(): the text section of what the action made appear,
    // beside the snapshot taken after it.
    QString changedText(const QString &snapshot);
    // A download the tab started while watched.
    std::optional<DownloadInfo> download() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace corvane
