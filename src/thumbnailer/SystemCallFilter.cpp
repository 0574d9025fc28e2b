#include "SystemCallFilter.hpp"

#include "SanitizerBuild.hpp"

#include <seccomp.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace brightfold {

namespace {

struct FilterRelease {
    void operator()(void* context) const { seccomp_release(context); }
};
using Filter = std::unique_ptr<void, FilterRelease>;

// Calls allowed whatever their arguments: reading, looking at files, memory,
// waiting, clocks, signals of the process's own, leaving.
constexpr int kAlwaysAllowed[] = {
    // reading descriptors it holds, and looking at files without changing them
    SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(preadv), SCMP_SYS(preadv2), SCMP_SYS(lseek),
    SCMP_SYS(close), SCMP_SYS(fstat), SCMP_SYS(stat), SCMP_SYS(lstat), SCMP_SYS(newfstatat), SCMP_SYS(statx),
    SCMP_SYS(fstatfs), SCMP_SYS(statfs), SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2),
    SCMP_SYS(readlink), SCMP_SYS(readlinkat), SCMP_SYS(getdents64), SCMP_SYS(getcwd), SCMP_SYS(fadvise64),
    SCMP_SYS(fcntl),
    // memory; mapping and protecting are allowed below without PROT_EXEC only
    SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise),
    // threads already created and their waiting
    SCMP_SYS(futex), SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(sched_yield),
    SCMP_SYS(sched_getaffinity), SCMP_SYS(set_tid_address), SCMP_SYS(eventfd2),
    // clocks and sleeping
    SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(clock_nanosleep), SCMP_SYS(nanosleep),
    SCMP_SYS(gettimeofday), SCMP_SYS(time),
    // facts about itself
    SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(getuid), SCMP_SYS(geteuid), SCMP_SYS(getgid), SCMP_SYS(getegid),
    SCMP_SYS(getrusage), SCMP_SYS(getrlimit), SCMP_SYS(getrandom), SCMP_SYS(sysinfo), SCMP_SYS(uname),
    // its own signal handling
    SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack),
    SCMP_SYS(exit), SCMP_SYS(exit_group),
};

// The runtime of sanitizer builds probes whether memory is readable by writing
// it into a pipe of its own.
constexpr int kSanitizerRuntime[] = { SCMP_SYS(pipe2), SCMP_SYS(write), SCMP_SYS(writev) };

// Flags of open/openat that write, create or truncate: none may be set. O_RDONLY is 0.
constexpr scmp_datum_t kWritingOpenFlags = O_ACCMODE | O_CREAT | O_TRUNC;

bool allow(const Filter& filter, int call)
{
    return seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, call, 0) == 0;
}

/// Argument `index` equals `value`.
scmp_arg_cmp argumentIs(unsigned index, scmp_datum_t value)
{
    return scmp_arg_cmp { index, SCMP_CMP_EQ, value, 0 };
}

/// Argument `index`, masked by `mask`, equals `value`.
scmp_arg_cmp maskedArgumentIs(unsigned index, scmp_datum_t mask, scmp_datum_t value)
{
    return scmp_arg_cmp { index, SCMP_CMP_MASKED_EQ, mask, value };
}

template<typename... Conditions>
bool allowWhen(const Filter& filter, int call, Conditions... conditions)
{
    return seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, call, sizeof...(Conditions), conditions...) == 0;
}

}

bool SystemCallFilter::install(std::span<const int> writableFds)
{
    Filter filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
    if (!filter)
        return false;
    // Every thread of the process, should a library have started one already.
    bool added = seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1) == 0;
    for (const int call : kAlwaysAllowed)
        added = added && allow(filter, call);
    if (kSanitizerBuild) {
        for (const int call : kSanitizerRuntime)
            added = added && allow(filter, call);
    } else {
        for (const int fd : writableFds) {
            const auto descriptor = static_cast<scmp_datum_t>(fd);
            added = added && allowWhen(filter, SCMP_SYS(write), argumentIs(0, descriptor))
                && allowWhen(filter, SCMP_SYS(writev), argumentIs(0, descriptor));
        }
    }
    added = added
        // Files only for reading: fonts, the decoders' data files, the file to draw.
        && allowWhen(filter, SCMP_SYS(openat), maskedArgumentIs(2, kWritingOpenFlags, 0))
        && allowWhen(filter, SCMP_SYS(open), maskedArgumentIs(1, kWritingOpenFlags, 0))
        // Every library was loaded before the filter: no new code is mapped.
        && allowWhen(filter, SCMP_SYS(mmap), maskedArgumentIs(2, PROT_EXEC, 0))
        && allowWhen(filter, SCMP_SYS(mprotect), maskedArgumentIs(2, PROT_EXEC, 0))
        // Threads (decoders' worker threads), never new processes. clone3 passes its
        // flags in memory a filter cannot read: it fails, and the C library falls back to clone.
        && allowWhen(filter, SCMP_SYS(clone), maskedArgumentIs(0, CLONE_THREAD, CLONE_THREAD))
        && seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0
        // Reading limits, never setting them.
        && allowWhen(filter, SCMP_SYS(prlimit64), argumentIs(0, 0), argumentIs(2, 0))
        // Naming its own threads.
        && allowWhen(filter, SCMP_SYS(prctl), argumentIs(0, PR_SET_NAME))
        && allowWhen(filter, SCMP_SYS(prctl), argumentIs(0, PR_GET_NAME))
        // Signals only to itself (abort() raises SIGABRT this way).
        && allowWhen(filter, SCMP_SYS(tgkill), argumentIs(0, static_cast<scmp_datum_t>(::getpid())));
    if (!added)
        return false;
    return seccomp_load(filter.get()) == 0;
}

}
