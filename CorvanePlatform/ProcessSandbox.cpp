#include "ProcessSandbox.h"

#include <cstdint>

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

// Debian 12's kernel headers predate Landlock's network rules (ABI 4, Linux
// 6.7): the layout and the right are written out here.
struct RulesetAttributes {
    std::uint64_t handledAccessFs;
    std::uint64_t handledAccessNet;
};
constexpr std::uint64_t accessNetBindTcp = 1ULL << 0;
constexpr long createRulesetVersion = 1L << 0;
constexpr long firstAbiWithNetwork = 4;

long landlockAbi()
{
    return ::syscall(SYS_landlock_create_ruleset, nullptr, 0, createRulesetVersion);
}

} // namespace

bool canForbidTcpBinding()
{
    static const bool can = landlockAbi() >= firstAbiWithNetwork;
    return can;
}

bool forbidTcpBinding()
{
    // A ruleset that handles TCP binds and grants no port denies them all;
    // connecting stays unhandled, so allowed.
    const RulesetAttributes attributes{0, accessNetBindTcp};
    const long ruleset = ::syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
    if (ruleset < 0)
        return false;
    const bool done = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && ::syscall(SYS_landlock_restrict_self, static_cast<int>(ruleset), 0) == 0;
    ::close(static_cast<int>(ruleset));
    return done;
}

} // namespace corvane::platform
