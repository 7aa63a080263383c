#pragma once

// Running the outside agent-browser tool: one run at a time in the whole
// process, each bounded by a time limit, its merged output returned as text.
// Also the classifiers that tell a failed output from a good one.

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace corvane {

// Time limits of tool runs, whole seconds.
inline constexpr int snapshotLimit = 9;
inline constexpr int loadWaitLimit = 3;
inline constexpr int navigateSettleLimit = 5;
inline constexpr int toolRunLimit = 20;

inline const QString agentBusyText = QStringLiteral("COMPANION ERROR: Chrome is still working on the previous action.");
inline const QString agentMissingText = QStringLiteral("agent-browser is not installed.");
inline const QString agentTimeoutText = QStringLiteral("The browser action timed out.");
// Followed by the system's reason, for a tool that is there but would not start.
inline const QString agentStartFailedText = QStringLiteral("agent-browser could not start: ");

// How much of one run's output is kept; the rest is read and dropped.
inline constexpr qint64 agentOutputLimit = 4 * 1024 * 1024;
inline const QString outputCutText = QStringLiteral("\n[output cut at 4 MiB]");

// The tool session of a Chrome port: each port keeps its own tool state.
QString agentSessionName(qint64 port);

// The first of the known install places that holds an executable, else the
// bare name (which then fails to launch: there is no PATH search).
QString agentBrowserPath();

// Runs the tool with ["--cdp", port, "--session", session] + args. Never
// waits for another run: while one is going, the busy text comes back at once.
QString runAgentBrowserOnce(const QStringList &args, qint64 cdp, int limit);

// A run on the port every browser action talks to (activeChromePort).
QString runOnActivePort(const QStringList &args, int limit = toolRunLimit);

// Runs ["--json"] + args on the active port and returns the output's "data"
// object; empty when the output is not such JSON.
QJsonObject agentData(const QStringList &args);

// The runner's own refusals: the tool did not run at all (busy, missing, or
// it would not start). No action took place, so they never count as success.
bool runnerRefused(const QString &output);

bool timedOut(const QString &output);
bool openFailed(const QString &output);
bool actionFailed(const QString &output);

} // namespace corvane
