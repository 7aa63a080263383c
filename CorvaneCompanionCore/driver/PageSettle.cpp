#include "driver/PageSettle.h"

#include "diagnostics/EventLog.h"
#include "driver/Job.h"

namespace corvane {

bool mayNavigate(const QStringList &args)
{
    if (args.isEmpty())
        return false;
    const QString word = args.front().toLower();
    return word == QLatin1String("eval") || word == QLatin1String("click") || word == QLatin1String("press")
        || word == QLatin1String("open");
}

void waitForLoad(Job &job, int limit)
{
    const ToolRun wait = job.run({QStringLiteral("wait"), QStringLiteral("--load"), QStringLiteral("domcontentloaded")},
                                 OutputReading::action, limit);
    if (wait.outcome == ToolOutcome::timedOut)
        companionLog(QStringLiteral("load.wait-timeout"), {{QStringLiteral("limit_s"), QString::number(limit)}});
}

void waitForNewTabPage(Job &job, int limit)
{
    const ToolRun wait
        = job.run({QStringLiteral("wait"), QStringLiteral("--fn"),
                   QStringLiteral("document.URL !== 'about:blank' && document.readyState !== 'loading'")},
                  OutputReading::action, limit);
    if (wait.outcome == ToolOutcome::timedOut)
        companionLog(QStringLiteral("load.wait-timeout"), {{QStringLiteral("limit_s"), QString::number(limit)}});
}

} // namespace corvane
