#include "ResourceLimits.hpp"

#include <sys/resource.h>

namespace brightfold {

namespace {

constexpr rlim_t kAddressSpaceBytes = rlim_t { 1 } << 30; // 1 GiB

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

}

void ResourceLimits::capMemory()
{
    if (kSanitized)
        return;
    rlimit limit {};
    if (::getrlimit(RLIMIT_AS, &limit) != 0)
        return;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < kAddressSpaceBytes)
        return; // already tighter
    limit.rlim_cur = kAddressSpaceBytes;
    ::setrlimit(RLIMIT_AS, &limit);
}

void ResourceLimits::allowCpuSeconds(long seconds)
{
    rusage usage {};
    rlimit limit {};
    if (::getrusage(RUSAGE_SELF, &usage) != 0 || ::getrlimit(RLIMIT_CPU, &limit) != 0)
        return;
    const auto used = static_cast<rlim_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec);
    // Only the soft limit moves: an unprivileged process can never raise its hard limit again.
    rlim_t wanted = used + 1 + static_cast<rlim_t>(seconds);
    if (limit.rlim_max != RLIM_INFINITY && wanted > limit.rlim_max)
        wanted = limit.rlim_max;
    limit.rlim_cur = wanted;
    ::setrlimit(RLIMIT_CPU, &limit);
}

}
