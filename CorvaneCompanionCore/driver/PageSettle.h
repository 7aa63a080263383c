#pragma once

// Giving a page its time: the load waits after a step that may navigate and
// for a new tab's own page.

#include <QStringList>

namespace corvane {

class Job;

// Whether a command may navigate, so that its page needs time to settle.
bool mayNavigate(const QStringList &args);
void waitForLoad(Job &job, int limit);
// A new tab begins with a blank page before it loads its own, which a load
// wait takes for loaded: this waits until the tab shows its page, parsed.
void waitForNewTabPage(Job &job, int limit);

} // namespace corvane
