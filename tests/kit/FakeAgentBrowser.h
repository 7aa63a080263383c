#pragma once

#include <QString>
#include <QStringList>

namespace corvane::test {

// Puts a shell script where the companion looks for agent-browser
// ($HOME/.local/bin). The script records its arguments, one run per line,
// then runs `body`, where "$5" is the first action argument ("$1" to "$4"
// are the runner's --cdp and --session options).
void installFakeAgentBrowser(const QString &body);

// The runs the fake has seen so far, each as its arguments joined by spaces;
// without the runner's own four options unless asked for.
QStringList fakeAgentBrowserRuns(bool withRunnerOptions = false);

// Links the real agent-browser there instead; false when it is not installed.
bool linkRealAgentBrowser();

// Puts a wrapper there that writes down the command line it was given, as
// any account could read it, then runs the real agent-browser with it.
bool installRecordingAgentBrowser();
// The command lines the wrapper was given, one per run.
QStringList recordedCommandLines();

// Ends the tool's background session processes started under this HOME.
void stopAgentBrowserSessions();

} // namespace corvane::test
