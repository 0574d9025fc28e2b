#include "ResourceLimits.hpp"

#include <csignal>

namespace brightfold {

namespace {

bool fixLimit(int resource, rlim_t wanted)
{
    rlimit limit {};
    if (::getrlimit(resource, &limit) != 0)
        return false;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted)
        wanted = limit.rlim_max;
    limit.rlim_cur = wanted;
    limit.rlim_max = wanted;
    return ::setrlimit(resource, &limit) == 0;
}

}

bool ResourceLimits::fix(const Fences& fences)
{
    // A write past the file-size limit then fails with EFBIG instead of ending the process.
    ::signal(SIGXFSZ, SIG_IGN);
    bool fixed = fixLimit(RLIMIT_FSIZE, 0) && fixLimit(RLIMIT_CORE, 0) && fixLimit(RLIMIT_CPU, fences.cpuSeconds)
        && fixLimit(RLIMIT_NOFILE, fences.openFiles);
    if (fences.addressSpaceBytes != 0)
        fixed = fixed && fixLimit(RLIMIT_AS, fences.addressSpaceBytes);
    return fixed;
}

long ResourceLimits::cpuSecondsUsed()
{
    rusage usage {};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        return 0;
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec;
}

}
