#pragma once

#include <sys/resource.h>

namespace brightfold {

/// The worker's own fences, so a decoder that goes wild on a damaged file costs
/// that file and never the machine.
namespace ResourceLimits {

/// What `fix` sets; zero in `addressSpaceBytes` leaves the address space alone.
struct Fences {
    rlim_t addressSpaceBytes { 0 };
    rlim_t cpuSeconds { 0 }; // for the process's whole life: the kernel kills it past that
    rlim_t openFiles { 0 };
};

/// Sets each fence as both the soft and the hard limit, so nothing running in
/// the process can raise it again; a hard limit already tighter is kept. Also
/// allows no file to grow (file size 0, so no write into a file succeeds) and no
/// core dump. False when the kernel refused one.
bool fix(const Fences& fences);

/// CPU time the process has used so far, user and system, in whole seconds.
long cpuSecondsUsed();

}

}
