#include "Sandbox.hpp"

#include "SanitizerBuild.hpp"
#include "SystemCallFilter.hpp"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace brightfold {

namespace {

constexpr uid_t kNobodyFallback = 65534;

[[noreturn]] void fail(const char* step)
{
    throw SandboxError(std::string(step) + ": " + std::strerror(errno));
}

/// A network namespace of its own: root may make one directly, anyone else
/// inside a user namespace of their own, where the system allows that.
bool leaveNetwork(bool isRoot)
{
    const int flags = isRoot ? CLONE_NEWNET : CLONE_NEWUSER | CLONE_NEWNET;
    return ::unshare(flags) == 0;
}

/// Only CAP_DAC_READ_SEARCH, or nothing, in the permitted and effective sets.
bool keepOnlyFileReading(RootFileReads reads)
{
    __user_cap_header_struct header {};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] {};
    if (reads == RootFileReads::AnyFile)
        data[0].permitted = data[0].effective = 1U << CAP_DAC_READ_SEARCH;
    return ::syscall(SYS_capset, &header, data) == 0;
}

/// Becomes nobody for good: no supplementary groups, nobody's group, and no way
/// back to root.
void becomeNobody(RootFileReads reads)
{
    uid_t uid = kNobodyFallback;
    gid_t gid = kNobodyFallback;
    if (const passwd* nobody = ::getpwnam("nobody")) {
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
    }
    if (::setgroups(0, nullptr) != 0)
        fail("dropping supplementary groups");
    if (::setresgid(gid, gid, gid) != 0)
        fail("becoming nobody's group");
    // The capabilities would go with the change of user; the one kept is set again below.
    if (::prctl(PR_SET_KEEPCAPS, 1) != 0)
        fail("keeping capabilities");
    if (::setresuid(uid, uid, uid) != 0)
        fail("becoming nobody");
    // Where root itself lacks the capability (some containers), nothing is kept.
    if (::prctl(PR_SET_KEEPCAPS, 0) != 0
        || (!keepOnlyFileReading(reads) && !keepOnlyFileReading(RootFileReads::AsNobody)))
        fail("dropping capabilities");
    if (::setresuid(0, 0, 0) == 0) {
        errno = EPERM;
        fail("leaving root");
    }
}

}

SandboxState enterSandbox(const SandboxRules& rules)
{
    SandboxState state;
    if (!ResourceLimits::fix(rules.fences))
        fail("fixing resource limits");
    const bool isRoot = ::geteuid() == 0;
    state.ownNetwork = leaveNetwork(isRoot);
    if (isRoot) {
        becomeNobody(rules.rootFileReads);
        state.leftRoot = true;
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        fail("setting no-new-privileges");
    if (!SystemCallFilter::install(rules.writableFds))
        fail("installing the system-call filter");
    return state;
}

}

// Read by the sanitizer runtime of sanitizer builds, ignored otherwise. Inside the
// filter that runtime can neither trace threads for its leak check at exit nor
// start a symbolizer for its reports: reports name modules and offsets instead of
// functions, and the worker's leaks go unchecked.
extern "C" const char* __asan_default_options()
{
    return "detect_leaks=0:symbolize=0:color=never";
}
extern "C" const char* __ubsan_default_options()
{
    return "symbolize=0:color=never";
}
