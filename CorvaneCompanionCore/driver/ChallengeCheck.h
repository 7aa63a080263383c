#pragma once

// A human-verification phrase counts only when the page shows it to the
// person: in the page's title or in text they can see and read, not in an
// iframe's title or name, in small print, or in an element that is hidden,
// transparent, empty or off the page. Millions of sign-in pages carry a
// captcha badge, and a hostile page could print the words to stop the work.

#include <QString>

#include <optional>

namespace corvane {

class Job;

// Whether the tab `targetId` of the Chrome at `port` shows one of the
// needsYou phrases; none when the page could not be asked.
std::optional<bool> pageShowsChallenge(qint64 port, const QString &targetId);

// needsYou(text), confirmed by the work tab itself: a phrase the page does
// not show does not count. When the page cannot be asked, the words decide.
bool needsYouOnPage(Job &job, const QString &text);

} // namespace corvane
