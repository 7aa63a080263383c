#pragma once

// How the driver reaches the tool: the real runner starts its program, a
// scripted one stands in for it where a rule of the driver's own is tested.

#include "driver/ToolRun.h"

#include <QList>
#include <QStringList>

namespace corvane {

// One command of a batch, and how a step reads its answer.
struct BatchStep {
    QStringList args;
    OutputReading reading = OutputReading::data;
};

class ToolRunner {
public:
    virtual ~ToolRunner() = default;

    // Runs `args` against the Chrome on port `cdp` within `limit` seconds,
    // its output read as `reading` says. Never waits for another run: while
    // one is going, a busy run comes back at once.
    virtual ToolRun run(const QStringList &args, qint64 cdp, int limit, OutputReading reading) = 0;

    // The steps in order, each given its own run as if it had run alone. A
    // run that did not come to an answer (busy, cut short, a time-out) is
    // every step's.
    virtual QList<ToolRun> runBatch(const QList<BatchStep> &steps, qint64 cdp, int limit) = 0;

    // Ends the tool's session on that port: its background process goes,
    // and the next run starts afresh.
    virtual void endSession(qint64 cdp) { (void)cdp; }
};

} // namespace corvane
