#pragma once

// One job's reach into the browser: the driver's tool runner on the port
// every action talks to, the job's own dialog watch, and what the driver
// keeps between jobs. The driver makes one per job; every step takes it.

#include "driver/ActionWatch.h"
#include "driver/AgentRunner.h"
#include "driver/HandOver.h"
#include "driver/NeedsYouNotice.h"
#include "driver/PageDialog.h"
#include "driver/ToolRunner.h"
#include "driver/WorkTab.h"

#include <QJsonObject>

#include <functional>

namespace corvane {

// Monotonic seconds.
using Clock = std::function<double()>;

// What the driver keeps from one job to the next.
struct DriverState {
    // `agent`: whose work this is; none for the plain work tab.
    explicit DriverState(Clock now, const QString &agent = {})
        : clock(std::move(now))
        , tabs(agent)
    {
    }

    const Clock clock;
    WorkTabMemory tabs;
    KeptConnection kept;
    HandOverDesk handOver;
    NeedsYouNotices notices;
};

class Job {
public:
    Job(ToolRunner &runner, DriverState &state, DialogWatch &watch)
        : runner_(runner)
        , state_(state)
        , watch_(watch)
    {
    }
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    // A run on the port every browser action talks to. Once a dialog blocks
    // the page in this job, nothing more runs.
    ToolRun run(const QStringList &args, OutputReading reading, int limit = toolRunLimit);
    // The steps in one go, as ToolRunner::runBatch; once a dialog blocks the
    // page, the steps after it count as blocked.
    QList<ToolRun> runBatch(const QList<BatchStep> &steps, int limit = toolRunLimit);
    // Runs ["--json"] + args and returns the answer's "data" object; empty
    // when the output is not such JSON.
    QJsonObject data(const QStringList &args);

    bool dialogSeen() const { return watch_.seen().has_value(); }
    double now() const { return state_.clock(); }
    WorkTabMemory &tabs() { return state_.tabs; }
    KeptConnection &kept() { return state_.kept; }
    HandOverDesk &handOver() { return state_.handOver; }

private:
    ToolRunner &runner_;
    DriverState &state_;
    DialogWatch &watch_;
};

} // namespace corvane
