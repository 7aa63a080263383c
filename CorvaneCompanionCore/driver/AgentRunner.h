#pragma once

// Running the outside agent-browser tool: one run at a time, each bounded
// by a time limit, its merged output kept as text and what became of it
// told by a ToolRun.

#include "driver/ToolRun.h"
#include "driver/ToolRunner.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace corvane {

// Time limits of tool runs, whole seconds.
inline constexpr int snapshotLimit = 9;
inline constexpr int loadWaitLimit = 3;
inline constexpr int navigateSettleLimit = 5;
inline constexpr int toolRunLimit = 20;

// How much of one run's output is kept; the rest is read and dropped.
inline constexpr qint64 agentOutputLimit = 4 * 1024 * 1024;

// The tool session of a Chrome port and an agent (none for the plain work
// tab): each keeps its own tool state and background process.
QString agentSessionName(qint64 port, const QString &agent = {});

// The first of the known install places that holds an executable: the copy
// an installed companion carries, then the three usual places; empty when
// none does. Never a bare name: there is no PATH search, and the current
// folder is whoever started us.
QString agentBrowserPath();

// The folder the tool keeps its sessions' sockets and process ids in: the
// tool's own default, given to it explicitly so that we know where to look.
QString agentSocketDir();

// The first three arguments, a free text as its length: what the log shows
// of a command.
QString toolArgsLabel(const QStringList &args);

// The process id the tool's background process of `session` wrote down; 0
// when there is none to be read.
qint64 daemonPid(const QString &session);

// Ends `pid` when it is a process of the tool's, and waits (briefly) until it
// is gone; false when it was not the tool's or would not go.
bool endToolDaemon(qint64 pid);

// The tool's program, one process per run: each with the runner's own
// options (["--cdp", port, "--session", session]), in a folder and with
// settings of ours, its commands on standard input. One run at a time. An
// agent's session is pinned, once its background process runs, to the tab it
// was switched to: tabs others open never become its own.
class AgentRunner final : public ToolRunner {
public:
    explicit AgentRunner(const QString &agent = {});
    ~AgentRunner() override;
    AgentRunner(const AgentRunner &) = delete;
    AgentRunner &operator=(const AgentRunner &) = delete;

    ToolRun run(const QStringList &args, qint64 cdp, int limit, OutputReading reading = OutputReading::data) override;
    QList<ToolRun> runBatch(const QList<BatchStep> &steps, qint64 cdp, int limit) override;
    void endSession(qint64 cdp) override;

    // Whether the background process of `session` may be used: one that
    // listens on TCP is ended instead (checked once per process).
    bool admitsDaemon(const QString &session);

    // What the program says of its version ("agent-browser 0.41.2"); empty
    // when it would not say.
    QString version();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A run that came to an answer in the tool's JSON form: `out`, what the step
// reads of it, kept up to agentOutputLimit and classified, with the dialog
// the answer reports.
ToolRun answeredRun(QString out, OutputReading reading, const QString &answer);

// The value `key` of a data run's answer ("url", "title"); the empty text
// when the run has no such value.
QString answerValue(const ToolRun &run, const QString &key);

} // namespace corvane
