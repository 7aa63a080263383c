#pragma once

// The one entry of every browser job: a driver path and its body in, one
// DriverResult out. The driver owns what jobs share: the work tab's job
// lock, the tool runner, the hand-over, the "needs you" notices, what it
// knows of the work's tabs and the kept DevTools connection. Never throws;
// every failure is a result with `ok` false.

#include "chrome/ChromeLaunch.h"
#include "driver/AgentView.h"
#include "driver/CallControl.h"
#include "driver/DriverResult.h"
#include "driver/Job.h"
#include "driver/KeptRunner.h"

#include "Dispatch.h"

#include <QString>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace corvane {

inline const QString companionQuittingText = QStringLiteral("Corvane Companion is quitting; the job did not run.");

// Several assistants at once: each MCP client (and a local client that names
// itself) is an agent with its own window, tool session and job lock.
inline constexpr int defaultAgentLimit = 8;
inline constexpr int highestAgentLimit = 16;
inline constexpr double agentIdleLimit = 30 * 60.0;
inline constexpr qsizetype agentNameLimit = 40;
inline const QString agentNameText
    = QStringLiteral("An agent's name is 1 to 40 letters, digits, '-' or '_', beginning with a letter or a digit.");
inline const QString agentStoppedText = QStringLiteral(
    "The person stopped this assistant's work in Corvane Companion: its browser session has ended and the job did "
    "not run. Ask them before going on; the next job starts afresh.");
QString tooManyAgentsText(int limit);

// A name an agent may have: it becomes part of the tool's session name and
// of its work tab's label.
bool isAgentName(const QString &name);
// The setting's limit ("maxAgents", CORVANE_MAX_AGENTS): 1 to 16, else 8.
int agentLimitSetting();

// How the driver finds the user's Chrome: whether its debugging port answers,
// and starting it within a limit.
struct ChromeAccess {
    std::function<bool()> ready;
    std::function<ChromeReadiness(double limit)> start;

    // The Chrome on 127.0.0.1 that the companion starts when asked to.
    static ChromeAccess usersChrome();
};

struct Action;
struct ActionCall;

class Driver {
public:
    // Makes an agent's tool runner.
    using RunnerMaker = std::function<std::unique_ptr<ToolRunner>(const QString &agent)>;

    explicit Driver(std::unique_ptr<ToolRunner> runner = std::make_unique<KeptRunner>(),
                    Clock clock = platform::monotonicSeconds, ChromeAccess chrome = ChromeAccess::usersChrome(),
                    RunnerMaker agentRunner = {}, int agentLimit = agentLimitSetting());
    // Shuts down first.
    ~Driver();
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;

    // Runs synchronously on the caller's thread; may take many seconds. One
    // job at a time acts in the work tab: another one meanwhile gets the busy
    // text at once ("/health" and answering a dialog excepted).
    // `autostart`: may Chrome be started when its debugging port does not
    // answer. `control`: a long job (a hand-over) reports progress and may be
    // called off. `agent`: whose job it is; none for the plain work tab. Each
    // agent's jobs take turns among themselves only.
    DriverResult drive(const QString &path, const Body &body, bool autostart, const CallControl &control = {},
                       const QString &agent = {});

    // The agents at work, by name.
    QList<AgentView> agents();
    // The person stops an agent: its tool session ends, and its next job is
    // told so. False when there is no such agent.
    bool stopAgent(const QString &agent);

    // A job of the chat service: its own paths only. The local ones (a
    // hand-over waits for minutes) answer as unknown paths do.
    DriverResult driveChatJob(const QString &path, const Body &body);

    // Brings the tab the work is on to the front (the tray's "show the work
    // tab"): the one a popup led the work to, if so. False when there is none
    // to show, or it cannot be found while a job holds the work tab.
    bool showWorkTab();
    // The same on a thread of its own, for a caller that cannot wait; false
    // when none could start.
    bool showWorkTabSoon();

    // Of the plain work tab, or of `agent`.
    bool handOverWaiting(const QString &agent = {});
    // The person says they are done. False when no hand-over was waiting.
    bool handBack(const QString &agent = {});
    void setHandOverListener(HandOverDesk::Listener listener);
    void setNeedsYouListener(NeedsYouNotices::Listener listener);

    // Quitting: a job that comes from now on is refused, a waiting hand-over
    // is called off, and this returns once every job in progress has ended
    // (each is bounded by the tool's time limits) and the kept DevTools
    // connection is closed.
    void shutdown();

private:
    class Call;
    struct Workspace;
    enum class Admission { taken, stopped, full };

    DriverResult dispatch(const Action *action, const ActionCall &call, bool autostart);
    DriverResult driveIn(Workspace &work, const QString &path, const Body &body, bool autostart,
                         const CallControl &control, bool ready);
    bool findAndShowWorkTab();
    // The agent's workspace, made on its first job.
    Admission admit(const QString &agent, std::shared_ptr<Workspace> &work);
    // Ends the sessions of agents whose clients have been gone too long.
    void forgetIdleAgents(std::unique_lock<std::mutex> &held);
    void endSessionSoon(std::shared_ptr<Workspace> work);
    // The person's listeners, told which agent speaks (agentsMutex_ held).
    void listenTo(Workspace &work);

    const std::shared_ptr<Workspace> plain_;
    const ChromeAccess chrome_;
    const Clock clock_;
    const RunnerMaker agentRunner_;
    const int agentLimit_;

    std::mutex agentsMutex_;
    std::map<QString, std::shared_ptr<Workspace>> agents_;
    QStringList stopped_; // told once, then forgotten; bounded
    HandOverDesk::Listener handOverListener_;
    NeedsYouNotices::Listener needsYouListener_;

    std::mutex callsMutex_;
    std::condition_variable callsEnded_;
    int calls_ = 0;
    bool closing_ = false;
};

// Read from the catalogue of actions:
// the paths that act in the browser (all but "/health", "/" and unknown ones);
bool isActionPath(const QString &path);
// the paths the chat service sends (others are not served on its channel);
bool isChatPath(const QString &path);
// what a request types into the page (a fill's text, a command's free
// text), kept out of the log by every channel that logs about the job.
QStringList requestTypedTexts(const QString &path, const Body &body);

} // namespace corvane
