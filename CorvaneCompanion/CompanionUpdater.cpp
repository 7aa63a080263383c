#include "CompanionUpdater.h"

#include "EventLog.h"
#include "JobActivity.h"

#include "Bundle.h"

namespace corvane {

void CompanionUpdater::start()
{
    companionLog(QStringLiteral("update.off"), {{QStringLiteral("reason"), QStringLiteral("not-a-bundle")},
                                                {QStringLiteral("version"), companionVersion(platform::mainBundle())}});
}

void CompanionUpdater::checkNow()
{
    // Nothing to ask while no controller runs.
}

} // namespace corvane
