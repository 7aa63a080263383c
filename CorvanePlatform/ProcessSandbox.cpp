#include "ProcessSandbox.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
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

bool landlockBan()
{
    // A ruleset that handles TCP binds and grants no port denies them all;
    // connecting stays unhandled, so allowed.
    const RulesetAttributes attributes {0, accessNetBindTcp};
    const long ruleset = ::syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
    if (ruleset < 0)
        return false;
    const bool done = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && ::syscall(SYS_landlock_restrict_self, static_cast<int>(ruleset), 0) == 0;
    ::close(static_cast<int>(ruleset));
    return done;
}

#if defined(__x86_64__)
constexpr std::uint32_t thisArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t thisArchitecture = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t thisArchitecture = 0;
#endif

// A bind whose address has the length of an IPv4 or IPv6 one is refused.
// Unix sockets pass: theirs is a path's length, and the tool's paths (a
// folder and "<session>.sock") are longer than either.
bool systemCallFilterBan()
{
    if (thisArchitecture == 0)
        return false;
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, thisArchitecture, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_bind, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, sizeof(sockaddr_in), 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, sizeof(sockaddr_in6), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
    };
    const sock_fprog filter {static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

bool landlockCanBan()
{
    static const bool can = landlockAbi() >= firstAbiWithNetwork;
    return can;
}

} // namespace

bool canForbidTcpBinding()
{
    static const bool can = landlockCanBan() || (thisArchitecture != 0 && ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0);
    return can;
}

bool forbidTcpBinding()
{
    return forbidTcpBinding(landlockCanBan() ? TcpBindBan::landlock : TcpBindBan::systemCallFilter);
}

bool forbidTcpBinding(TcpBindBan how)
{
    return how == TcpBindBan::landlock ? landlockBan() : systemCallFilterBan();
}

} // namespace corvane::platform
