#include "diagnostics/JobActivity.h"

#include "BuildFacts.h"

#include <mutex>
#include <optional>

namespace corvane {

const QString companionBuildVersion = QString::fromUtf8(build::version);

namespace {

struct JobState {
    std::mutex lock;
    qint64 active = 0;
    std::optional<QDateTime> lastEnded; // none: the distant past
};

JobState &jobState()
{
    static JobState state;
    return state;
}

} // namespace

void jobStarted()
{
    JobState &state = jobState();
    std::lock_guard guard(state.lock);
    ++state.active;
}

void jobEnded(const QDateTime &now)
{
    JobState &state = jobState();
    std::lock_guard guard(state.lock);
    state.active = state.active > 0 ? state.active - 1 : 0;
    state.lastEnded = now;
}

bool browserIsQuiet(double seconds, const QDateTime &now)
{
    JobState &state = jobState();
    std::lock_guard guard(state.lock);
    if (state.active != 0)
        return false;
    if (!state.lastEnded)
        return true;
    return double(state.lastEnded->msecsTo(now)) / 1000.0 >= seconds;
}

QString companionVersion(const platform::Bundle &bundle)
{
    const QVariant value = bundle.info.value(platform::shortVersionKey);
    if (value.typeId() == QMetaType::QString && !value.toString().isEmpty())
        return value.toString();
    return companionBuildVersion;
}

} // namespace corvane
