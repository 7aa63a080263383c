#pragma once

// Turning tool output into the result of a driver path: snapshots with one
// retry while the page loads, settling after actions, the page's title and
// address, and the "/view" screenshot.

#include "driver/DriverResult.h"

#include <QString>
#include <QStringList>

namespace corvane {

inline const QString pageEmptyText = QStringLiteral("The page was empty.");
inline const QString commandReturnedNothingText = QStringLiteral("The command returned nothing.");
inline const QString snapshotTimedOutAfterActionText =
    QStringLiteral("The page changed. Snapshot timed out \u2014 call browser_snapshot.");
inline const QString screenshotFileName = QStringLiteral("corvane-companion-view.jpg");

// A snapshot longer than an assistant can take in one tool result is cut at
// a line boundary and says so.
inline constexpr qsizetype snapshotTextLimit = 100000;
QString cutSnapshot(const QString &text);

const QStringList &snapshotArgs();

// Whether a command may navigate, so that its page needs time to settle.
bool mayNavigate(const QStringList &args);
void waitForLoad(int limit);
QString snapshotSettled(const QStringList &args);

DriverResult pageView();
DriverResult finish(const QString &text, bool chrome);
DriverResult afterAction(const QString &out);
DriverResult finishCli(const QString &text);

} // namespace corvane
