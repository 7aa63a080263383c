#pragma once

// What became of one run of the tool, as a small record, and the one place
// where the tool's words are read to decide it. Texts for people are made
// from the record only where a driver result is built.

#include "driver/PageDialog.h"

#include <QChar>
#include <QString>

#include <optional>

namespace corvane {

enum class ToolOutcome {
    done, // it ran and its output reads as success
    cut, // as done, but more came than is kept (agentOutputLimit)
    failed, // it ran and its output reports a failure
    timedOut, // the runner's limit passed, or the tool reports a time-out
    busy, // another run held the lock: nothing ran
    missingTool, // there is no executable where the tool is looked for
    couldNotStart, // the executable is there but the system would not start it
    unguarded, // its background process listened on TCP and was ended
};

// How a step reads its command's output. The same words fail some steps and
// not others: the table beside classifyOutput says which and why.
enum class OutputReading {
    open, // "/open": the open or new-tab command
    action, // click, fill, scroll, a screenshot, a load wait
    snapshot, // a snapshot that is the result ("/snapshot")
    pageAfterAction, // the snapshot that shows the page after an action
    command, // a "/cli" command
    tabSwitch, // bringing the work tab to the front
    data, // JSON that the caller parses itself
};

struct ToolRun {
    ToolOutcome outcome = ToolOutcome::done;
    // What the tool printed, standard output and error merged, as far as it
    // was kept; empty when it did not run to its end.
    QString output;
    // The output stops where agentOutputLimit cut it, and does not say so
    // yet (a result adds the note).
    bool outputCut = false;
    // couldNotStart: the system's reason.
    QString startError;
    // A dialog that the tool reports as blocking the page.
    std::optional<PageDialog> dialog;

    // The tool ran (to its end or to its limit), whatever it said.
    bool ran() const;
    bool succeeded() const { return outcome == ToolOutcome::done || outcome == ToolOutcome::cut; }
};

// The outcome of a finished run's output when `reading` reads it.
ToolOutcome classifyOutput(const QString &output, OutputReading reading, bool outputCut = false);

// A finished run with this output, classified: what the runner makes of a
// tool that ran to its end (it adds the dialog the tool reported).
ToolRun finishedRun(const QString &output, OutputReading reading, bool outputCut = false);

// The first character after trimming; none for a blank text.
std::optional<QChar> statusMark(const QString &text);

} // namespace corvane
