#pragma once

// A page that waits for a person (a check, a captcha) stalls the assistant
// until someone acts in the browser: the person is told, once per page
// address in a while, wherever the job came from.

#include "driver/DriverResult.h"

#include <QHash>
#include <QString>

#include <functional>
#include <mutex>

namespace corvane {

inline const QString needsYouTitle = QStringLiteral("Corvane needs you");
inline constexpr double needsYouRepeatSeconds = 30.0;

// "<page>: the page wants a person (a check or a captcha)."
QString needsYouText(const QString &page);

// A page's or an assistant's words as a notice shows them: plain text, the
// tags of any markup taken out and control characters made spaces, so that
// a notification server renders no link or bold of theirs.
QString plainNoticeText(const QString &text);

class Job;

// "needs you" notices: each page told once in a while.
class NeedsYouNotices {
public:
    using Listener = std::function<void(const QString &text)>;

    // Where notices go (the tray, or a headless companion's terminal);
    // called on the job's thread with the notice's text. None: nobody is told.
    void setListener(Listener listener);
    // Called with every job's result. One with `needsYou` is told, unless the
    // same address was told less than needsYouRepeatSeconds ago; its title
    // and address are read from the work tab when the result lacks them.
    void noticeIfNeeded(Job &job, const DriverResult &result);

private:
    bool firstInAWhile(const QString &url, double now);

    std::mutex mutex_;
    Listener listener_;
    QHash<QString, double> toldAt_; // by address
};

} // namespace corvane
