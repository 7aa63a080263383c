#pragma once

// The one entry of every browser job: a driver path and its body in, one
// DriverResult out. Never throws; every failure is a result with `ok` false.

#include "driver/CallControl.h"
#include "driver/DriverResult.h"

#include <QString>

namespace corvane {

// Runs synchronously on the caller's thread; may take many seconds. One job
// at a time acts in the work tab: another one meanwhile gets the busy text at
// once ("/health" and answering a dialog excepted).
// `autostart`: may Chrome be started when its debugging port does not answer.
// `control`: a long job (a hand-over) reports progress and may be called off.
DriverResult drive(const QString &path, const Body &body, bool autostart, const CallControl &control = {});

// Brings the tab the work is on to the front (the tray's "show the work
// tab"): the one a popup led the work to, if so. False when there is none
// to show, or it cannot be found while a job holds the work tab.
bool showWorkTab();

// A job of the chat service: its own paths only. The local ones (a
// hand-over waits for minutes) answer as unknown paths do.
DriverResult driveChatJob(const QString &path, const Body &body);

// Read from the catalogue of actions:
// the paths that act in the browser (all but "/health", "/" and unknown ones);
bool isActionPath(const QString &path);
// the paths the chat service sends (others are not served on its channel);
bool isChatPath(const QString &path);
// what a request types into the page (a fill's text, a command's free
// text), kept out of the log by every channel that logs about the job.
QStringList requestTypedTexts(const QString &path, const Body &body);

} // namespace corvane
