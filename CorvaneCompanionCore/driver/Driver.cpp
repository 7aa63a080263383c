#include "driver/Driver.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeLaunch.h"
#include "chrome/ChromeTarget.h"
#include "chrome/PortCache.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/JobActivity.h"
#include "driver/Actions.h"
#include "driver/HandOver.h"
#include "driver/NeedsYouNotice.h"
#include "driver/PageDialog.h"
#include "driver/PageView.h"
#include "driver/Steps.h"
#include "driver/ToolBatch.h"
#include "driver/WorkTab.h"

#include "Dispatch.h"

#include <algorithm>
#include <mutex>

namespace corvane {

namespace {

constexpr double chromeStartTimeout = 8.0;

DriverResult chromeFailure(const QString &text)
{
    DriverResult result;
    result.text = text;
    return result;
}

// A job in progress counts as browser activity, whichever channel brought it.
class ActiveJob {
public:
    ActiveJob() { jobStarted(); }
    ~ActiveJob() { jobEnded(); }
    ActiveJob(const ActiveJob &) = delete;
    ActiveJob &operator=(const ActiveJob &) = delete;
};

} // namespace

ChromeAccess ChromeAccess::usersChrome()
{
    return {[] { return chromeIsReady(QStringLiteral("127.0.0.1")); }, ensureChromeReady};
}

// A job the driver has taken: shutdown() waits until every one has ended.
class Driver::Call {
public:
    explicit Call(Driver &driver)
        : driver_(driver)
    {
        std::lock_guard lock(driver_.callsMutex_);
        taken_ = !driver_.closing_;
        if (taken_)
            ++driver_.calls_;
    }
    ~Call()
    {
        if (!taken_)
            return;
        std::lock_guard lock(driver_.callsMutex_);
        if (--driver_.calls_ == 0)
            driver_.callsEnded_.notify_all();
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    bool taken() const { return taken_; }

private:
    Driver &driver_;
    bool taken_ = false;
};

// One work tab's share of the driver: its tool session, what jobs keep
// between them, and the lock they take turns by.
struct Driver::Workspace {
    Workspace(const QString &name, std::unique_ptr<ToolRunner> tool, Clock clock)
        : agent(name)
        , runner(std::move(tool))
        , state(std::move(clock), name)
    {
    }

    const QString agent;
    const std::unique_ptr<ToolRunner> runner;
    DriverState state;
    // Jobs take turns in the work tab: a step of one never lands between
    // the steps of another. Only ever tried, like the runner's lock.
    std::mutex jobLock;

    // Under the driver's agentsMutex_.
    double lastSeen = 0;
    bool busy = false;
    QString title;
};

namespace {

// What the person is told about an agent names it.
QString agentSays(const QString &agent, const QString &text)
{
    return agent.isEmpty() ? text : QStringLiteral("Assistant \u201c%1\u201d: %2").arg(agent, text);
}

constexpr qsizetype stoppedNamesKept = 64;

} // namespace

QString tooManyAgentsText(int limit)
{
    return QStringLiteral("Corvane Companion already works for %1 assistants at once, its limit: try again when one "
                          "is done, or ask the person to stop one in the tray menu.")
        .arg(limit);
}

bool isAgentName(const QString &name)
{
    if (name.isEmpty() || name.size() > agentNameLimit)
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        const bool alnum = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
        if (!alnum && (i == 0 || (c != u'-' && c != u'_')))
            return false;
    }
    return true;
}

int agentLimitSetting()
{
    bool number = false;
    const int limit = companionSetting(QStringLiteral("CORVANE_MAX_AGENTS"), QStringLiteral("maxAgents"))
                          .value_or(QString())
                          .toInt(&number);
    return number && limit >= 1 && limit <= highestAgentLimit ? limit : defaultAgentLimit;
}

Driver::Driver(std::unique_ptr<ToolRunner> runner, Clock clock, ChromeAccess chrome, RunnerMaker agentRunner,
               int agentLimit)
    : plain_(std::make_shared<Workspace>(QString(), std::move(runner), clock))
    , chrome_(std::move(chrome))
    , clock_(std::move(clock))
    , agentRunner_(agentRunner ? std::move(agentRunner)
                               : RunnerMaker([](const QString &agent) { return std::make_unique<KeptRunner>(agent); }))
    , agentLimit_(std::clamp(agentLimit, 1, highestAgentLimit))
{
}

Driver::~Driver()
{
    shutdown();
}

void Driver::shutdown()
{
    {
        std::lock_guard lock(callsMutex_);
        closing_ = true;
    }
    std::vector<std::shared_ptr<Workspace>> all {plain_};
    {
        std::lock_guard lock(agentsMutex_);
        for (const auto &[name, work] : agents_)
            all.push_back(work);
    }
    for (const std::shared_ptr<Workspace> &work : all)
        work->state.handOver.close();
    std::unique_lock lock(callsMutex_);
    callsEnded_.wait(lock, [this] { return calls_ == 0; });
    for (const std::shared_ptr<Workspace> &work : all)
        work->state.kept.drop();
}

Driver::Admission Driver::admit(const QString &agent, std::shared_ptr<Workspace> &work)
{
    std::unique_lock lock(agentsMutex_);
    if (stopped_.removeOne(agent))
        return Admission::stopped;
    forgetIdleAgents(lock);
    const auto known = agents_.find(agent);
    if (known != agents_.end()) {
        work = known->second;
        work->lastSeen = clock_();
        return Admission::taken;
    }
    if (static_cast<int>(agents_.size()) >= agentLimit_) {
        companionLog(QStringLiteral("agent.refused"), {{QStringLiteral("agent"), agent}});
        return Admission::full;
    }
    work = std::make_shared<Workspace>(agent, agentRunner_(agent), clock_);
    work->lastSeen = clock_();
    listenTo(*work);
    agents_.emplace(agent, work);
    companionLog(QStringLiteral("agent.new"), {{QStringLiteral("agent"), agent}});
    return Admission::taken;
}

void Driver::forgetIdleAgents(std::unique_lock<std::mutex> &held)
{
    (void)held;
    const double now = clock_();
    for (auto it = agents_.begin(); it != agents_.end();) {
        if (it->second->busy || now - it->second->lastSeen < agentIdleLimit) {
            ++it;
            continue;
        }
        // Its window stays: it is the person's to close, with whatever the
        // work left in it.
        companionLog(QStringLiteral("agent.idle"), {{QStringLiteral("agent"), it->first}});
        endSessionSoon(it->second);
        it = agents_.erase(it);
    }
}

void Driver::endSessionSoon(std::shared_ptr<Workspace> work)
{
    work->state.handOver.close();
    auto taken = std::make_shared<Call>(*this);
    if (!taken->taken())
        return;
    platform::runInBackground([work = std::move(work), taken = std::move(taken)] {
        work->runner->endSession(activeChromePort(false));
        work->state.kept.drop();
    });
}

QList<AgentView> Driver::agents()
{
    std::unique_lock lock(agentsMutex_);
    forgetIdleAgents(lock);
    QList<AgentView> views;
    for (const auto &[name, work] : agents_)
        views.append({name, work->title, work->busy, work->state.handOver.waiting()});
    return views;
}

bool Driver::stopAgent(const QString &agent)
{
    std::lock_guard lock(agentsMutex_);
    const auto known = agents_.find(agent);
    if (known == agents_.end())
        return false;
    companionLog(QStringLiteral("agent.stop"), {{QStringLiteral("agent"), agent}});
    endSessionSoon(known->second);
    agents_.erase(known);
    stopped_.removeAll(agent);
    stopped_.append(agent);
    while (stopped_.size() > stoppedNamesKept)
        stopped_.removeFirst();
    return true;
}

DriverResult Driver::dispatch(const Action *action, const ActionCall &call, bool autostart)
{
    if (!call.chromeReady) {
        if (!autostart)
            return chromeFailure(chromeOffText);
        const ChromeReadiness started = chrome_.start(chromeStartTimeout);
        if (!started.ready)
            return chromeFailure(started.text);
    }
    if (!action)
        return refusal(notFoundText);
    if (missesArgument(*action, call.body))
        return refusal(action->refusal);
    switch (action->run) {
    case ActionRun::checked:
        return checkedStep(call.job, action->command(call.body));
    case ActionRun::watched:
        return watchedStep(call.job, action->command(call.body));
    case ActionRun::free:
    case ActionRun::reads:
    case ActionRun::own:
        break;
    }
    return action->handler(call);
}

bool isChatPath(const QString &path)
{
    const Action *action = findAction(path);
    return action && action->chat;
}

bool isActionPath(const QString &path)
{
    const Action *action = findAction(path);
    return action && action->path != QLatin1String("/health");
}

QStringList requestTypedTexts(const QString &path, const Body &body)
{
    const Action *action = findAction(path);
    if (!action)
        return {};
    QStringList texts;
    for (const ActionArg &arg : action->args) {
        if (arg.typed == ArgTyped::whole)
            texts.append(body.value(arg.name));
        else if (arg.typed == ArgTyped::freeTexts) {
            const QStringList args = cliArgs(body);
            for (const qsizetype position : freeTextPositions(args))
                texts.append(args[position]);
        }
    }
    return texts;
}

DriverResult Driver::drive(const QString &path, const Body &body, bool autostart, const CallControl &control,
                           const QString &agent)
{
    const Call taken(*this);
    if (!taken.taken())
        return chromeFailure(companionQuittingText);
    // What the job types stays out of the log, whatever event would show it.
    const LogMask mask(requestTypedTexts(path, body));
    const bool ready = chrome_.ready();
    Fields fields {{QStringLiteral("path"), path},
                   {QStringLiteral("chrome"), onOff(ready)},
                   {QStringLiteral("ref"), body.value(QStringLiteral("ref"))},
                   {QStringLiteral("url"), body.value(QStringLiteral("url"))}};
    if (!agent.isEmpty())
        fields.insert(QStringLiteral("agent"), agent.left(agentNameLimit));
    companionLog(QStringLiteral("drive"), fields);

    std::shared_ptr<Workspace> work = plain_;
    if (!agent.isEmpty()) {
        QString refused;
        if (!isAgentName(agent))
            refused = agentNameText;
        else if (const Admission admitted = admit(agent, work); admitted == Admission::stopped)
            refused = agentStoppedText;
        else if (admitted == Admission::full)
            refused = tooManyAgentsText(agentLimit_);
        if (!refused.isEmpty()) {
            DriverResult result = refusal(refused);
            result.chrome = ready;
            return result;
        }
    }
    DriverResult result = driveIn(*work, path, body, autostart, control, ready);
    if (work != plain_) {
        std::lock_guard lock(agentsMutex_);
        work->lastSeen = clock_();
        if (!result.title.isEmpty())
            work->title = result.title;
    }
    return result;
}

DriverResult Driver::driveIn(Workspace &work, const QString &path, const Body &body, bool autostart,
                             const CallControl &control, bool ready)
{
    const Action *action = findAction(path);
    if (action && action->run == ActionRun::free) {
        DialogWatch unarmed(false);
        Job job(*work.runner, work.state, unarmed);
        return action->handler({job, body, control, ready});
    }

    // Answering the dialog is the one thing that must run while it is open,
    // also while the job it stopped still holds the work tab; but a dialog
    // that comes while the person has the browser is theirs to answer.
    const bool dialogAnswer = path == QLatin1String("/cli") && answersDialog(body);
    HandOverDesk &desk = work.state.handOver;
    std::unique_lock turn(work.jobLock, std::defer_lock);
    if ((dialogAnswer && desk.waiting()) || (!dialogAnswer && !turn.try_lock())) {
        companionLog(QStringLiteral("agent.busy"), {{QStringLiteral("args"), path}});
        DriverResult busy;
        busy.text = desk.waiting() ? personHasBrowserText : agentBusyText;
        busy.chrome = ready;
        return busy;
    }
    const ActiveJob active;
    const bool counted = turn.owns_lock() && &work != plain_.get();
    if (counted) {
        std::lock_guard lock(agentsMutex_);
        work.busy = true;
    }
    // The person answers dialogs themselves while they have the browser.
    DialogWatch watch(!dialogAnswer && path != QLatin1String("/hand-over"));
    Job job(*work.runner, work.state, watch);
    DriverResult result = dispatch(action, {job, body, control, ready}, autostart);
    if (const std::optional<PageDialog> &dialog = watch.seen()) {
        companionLog(QStringLiteral("dialog.blocking"), {{QStringLiteral("kind"), dialog->kind}});
        result = refusal(dialogText(*dialog));
        result.dialog = DialogInfo {dialog->kind, dialog->message};
    }
    work.state.notices.noticeIfNeeded(job, result);
    if (counted) {
        std::lock_guard lock(agentsMutex_);
        work.busy = false;
    }
    return result;
}

bool Driver::findAndShowWorkTab()
{
    Workspace &work = *plain_;
    QString target = lastWorkTarget(work.state.tabs);
    if (!target.isEmpty() && bringTabForward(target))
        return true;
    // Finding it runs the tool in the work tab: only between jobs.
    std::unique_lock turn(work.jobLock, std::try_to_lock);
    if (!turn.owns_lock())
        return false;
    DialogWatch unarmed(false);
    Job job(*work.runner, work.state, unarmed);
    return focusWorkTabIfAny(job, nullptr, &target);
}

bool Driver::showWorkTab()
{
    const Call taken(*this);
    return taken.taken() && findAndShowWorkTab();
}

bool Driver::showWorkTabSoon()
{
    // Taken here, so that shutdown() waits for the thread too.
    auto taken = std::make_shared<Call>(*this);
    return taken->taken() && platform::runInBackground([this, taken = std::move(taken)] { findAndShowWorkTab(); });
}

bool Driver::handOverWaiting(const QString &agent)
{
    if (agent.isEmpty())
        return plain_->state.handOver.waiting();
    std::lock_guard lock(agentsMutex_);
    const auto known = agents_.find(agent);
    return known != agents_.end() && known->second->state.handOver.waiting();
}

bool Driver::handBack(const QString &agent)
{
    std::shared_ptr<Workspace> work = plain_;
    if (!agent.isEmpty()) {
        std::lock_guard lock(agentsMutex_);
        const auto known = agents_.find(agent);
        if (known == agents_.end())
            return false;
        work = known->second;
    }
    return work->state.handOver.handBack();
}

void Driver::listenTo(Workspace &work)
{
    HandOverDesk::Listener handOver = handOverListener_;
    NeedsYouNotices::Listener needsYou = needsYouListener_;
    if (!work.agent.isEmpty()) {
        if (handOver) {
            handOver = [listener = std::move(handOver), agent = work.agent](bool waiting, const QString &reason) {
                listener(waiting, waiting ? agentSays(agent, reason) : reason);
            };
        }
        if (needsYou) {
            needsYou = [listener = std::move(needsYou), agent = work.agent](const QString &text) {
                listener(agentSays(agent, text));
            };
        }
    }
    work.state.handOver.setListener(std::move(handOver));
    work.state.notices.setListener(std::move(needsYou));
}

void Driver::setHandOverListener(HandOverDesk::Listener listener)
{
    std::lock_guard lock(agentsMutex_);
    handOverListener_ = std::move(listener);
    listenTo(*plain_);
    for (const auto &[name, work] : agents_)
        listenTo(*work);
}

void Driver::setNeedsYouListener(NeedsYouNotices::Listener listener)
{
    std::lock_guard lock(agentsMutex_);
    needsYouListener_ = std::move(listener);
    listenTo(*plain_);
    for (const auto &[name, work] : agents_)
        listenTo(*work);
}

DriverResult Driver::driveChatJob(const QString &path, const Body &body)
{
    if (!isActionPath(path) || isChatPath(path))
        return drive(path, body, true);
    companionLog(QStringLiteral("drive"),
                 {{QStringLiteral("path"), path}, {QStringLiteral("served"), QStringLiteral("no")}});
    DriverResult result = refusal(notFoundText);
    result.chrome = chrome_.ready();
    return result;
}

} // namespace corvane
