#pragma once

// Running the outside agent-browser tool: one run at a time in the whole
// process, each bounded by a time limit, its merged output kept as text and
// what became of it told by a ToolRun.

#include "driver/ToolRun.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace corvane {

// Time limits of tool runs, whole seconds.
inline constexpr int snapshotLimit = 9;
inline constexpr int loadWaitLimit = 3;
inline constexpr int navigateSettleLimit = 5;
inline constexpr int toolRunLimit = 20;

// How much of one run's output is kept; the rest is read and dropped.
inline constexpr qint64 agentOutputLimit = 4 * 1024 * 1024;

// The tool session of a Chrome port: each port keeps its own tool state.
QString agentSessionName(qint64 port);

// The first of the known install places that holds an executable: the copy
// an installed companion carries, then the three usual places; empty when
// none does. Never a bare name: there is no PATH search, and the current
// folder is whoever started us.
QString agentBrowserPath();

// The folder the tool keeps its sessions' sockets and process ids in: the
// tool's own default, given to it explicitly so that we know where to look.
QString agentSocketDir();

// Runs the tool with ["--cdp", port, "--session", session] + args and reads
// its output as `reading` says. Never waits for another run: while one is
// going, a busy run comes back at once.
ToolRun runAgentBrowserOnce(const QStringList &args, qint64 cdp, int limit,
                            OutputReading reading = OutputReading::data);

// A run on the port every browser action talks to (activeChromePort). Once
// a dialog blocks the page in this job, nothing more runs.
ToolRun runOnActivePort(const QStringList &args, OutputReading reading, int limit = toolRunLimit);

// One command of a batch, and how a step reads its answer.
struct BatchStep {
    QStringList args;
    OutputReading reading = OutputReading::data;
};

// Runs the steps on the active port in one process, in order, and gives
// each its own run as if it had run alone: data steps get the answer as
// JSON, the others the text the tool prints for it. A run that did not come
// to an answer (busy, cut short, a time-out) is every step's. Once a dialog
// blocks the page, the steps after it count as blocked.
QList<ToolRun> runBatchOnActivePort(const QList<BatchStep> &steps, int limit = toolRunLimit);

// The value `key` of a data run's answer ("url", "title"); the empty text
// when the run has no such value.
QString answerValue(const ToolRun &run, const QString &key);

// Runs ["--json"] + args on the active port and returns the output's "data"
// object; empty when the output is not such JSON.
QJsonObject agentData(const QStringList &args);

} // namespace corvane
