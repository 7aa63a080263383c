#include "driver/Job.h"

#include "chrome/PortCache.h"
#include "driver/WorkTab.h"

#include <QJsonDocument>

#include <algorithm>

namespace corvane {

namespace {

ToolRun blockedBy(const PageDialog &dialog)
{
    ToolRun blocked;
    blocked.outcome = ToolOutcome::failed;
    blocked.dialog = dialog;
    return blocked;
}

} // namespace

ToolRun Job::run(const QStringList &args, OutputReading reading, int limit)
{
    // A dialog blocks the page: the rest of the job would only wait out limits.
    if (const std::optional<PageDialog> &seen = watch_.seen())
        return blockedBy(*seen);
    const ToolRun run = runner_.run(args, activeChromePort(false), limit, reading);
    watch_.see(run.dialog);
    // A page held by a dialog waits for an answer, not for its end.
    if (run.outcome == ToolOutcome::timedOut && !watch_.seen())
        closeWorkTabIfHung(*this);
    return run;
}

QList<ToolRun> Job::runBatch(const QList<BatchStep> &steps, int limit)
{
    if (const std::optional<PageDialog> &seen = watch_.seen())
        return QList<ToolRun>(steps.size(), blockedBy(*seen));
    QList<ToolRun> runs = runner_.runBatch(steps, activeChromePort(false), limit);
    if (!runs.isEmpty() && runs.front().outcome == ToolOutcome::timedOut && !watch_.seen()
        && std::none_of(runs.begin(), runs.end(), [](const ToolRun &run) { return run.dialog.has_value(); }))
        closeWorkTabIfHung(*this);
    for (ToolRun &run : runs) {
        if (watch_.seen())
            run = blockedBy(*watch_.seen());
        else
            watch_.see(run.dialog);
    }
    return runs;
}

QJsonObject Job::data(const QStringList &args)
{
    const ToolRun ran = run(QStringList {QStringLiteral("--json")} + args, OutputReading::data);
    const QJsonDocument document = QJsonDocument::fromJson(ran.output.toUtf8());
    if (!document.isObject())
        return {};
    const QJsonValue data = document.object().value(QStringLiteral("data"));
    return data.isObject() ? data.toObject() : QJsonObject();
}

} // namespace corvane
