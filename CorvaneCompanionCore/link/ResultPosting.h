#pragma once

// The chat service's two plain HTTP endpoints: the copy of every job result,
// and the hang-up when the user disconnects. Both block their thread for one
// request with a deadline and never retry.

#include "driver/DriverResult.h"
#include "link/LinkStore.h"

#include "UrlSession.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace corvane {

inline constexpr double resultPostWait = 20.0;
inline constexpr double hangUpWait = 8.0;

// What goes back for one job, over the socket and over HTTP alike: the
// result's object with "token" and "id" added.
QJsonObject resultObject(const CompanionLink &link, const QString &jobId, const DriverResult &driven);

// The short job label every job event carries.
QString jobLabel(const QString &jobId);

// Posts the result and logs "job.reply" or "job.reply-fail" (via "http").
// Only tests pass a shorter `wait`.
void postResult(const CompanionLink &link, const QString &jobId, const DriverResult &driven,
                platform::UrlSession &session, double wait = resultPostWait);

// Tells the service the user disconnected. Best effort: nothing is looked at
// or logged.
void hangUp(const CompanionLink &link, platform::UrlSession &session, double wait = hangUpWait);

// The one queue for the HTTP copies of results: at most `postWorkers` run at
// once and `postQueueCapacity` wait, however fast jobs come and however slow
// the service answers.
inline constexpr int postWorkers = 4;
inline constexpr int postQueueCapacity = 1000;
inline const QString postQueueFullText = QStringLiteral("queue full");

// Queues postResult with the shared session; a copy that cannot be queued is
// logged as a failed reply at once.
void queueResultPost(const CompanionLink &link, const QString &jobId, const DriverResult &driven);
// Runs hangUp with the shared session on a thread of its own, never behind
// the copies; false when no thread could start.
bool queueHangUp(const CompanionLink &link);

} // namespace corvane
