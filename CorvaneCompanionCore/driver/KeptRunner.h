#pragma once

// The tool over one kept connection: its program is a thin client of a
// background process per session, so the runner speaks to that process
// itself, one JSON request per line, instead of starting the program for
// every step. Commands it has no request for, a session without a background
// process yet (the program starts one) and another version of the tool run
// as a process, as before.

#include "driver/AgentRunner.h"
#include "driver/ToolRunner.h"

#include <memory>

namespace corvane {

class KeptRunner final : public ToolRunner {
public:
    // `agent`: the agent whose session this is; none for the plain work tab.
    explicit KeptRunner(const QString &agent = {});
    ~KeptRunner() override;
    KeptRunner(const KeptRunner &) = delete;
    KeptRunner &operator=(const KeptRunner &) = delete;

    ToolRun run(const QStringList &args, qint64 cdp, int limit, OutputReading reading = OutputReading::data) override;
    QList<ToolRun> runBatch(const QList<BatchStep> &steps, qint64 cdp, int limit) override;
    void endSession(qint64 cdp) override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace corvane
