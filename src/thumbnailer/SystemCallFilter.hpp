#pragma once

#include <span>

namespace brightfold {

/// The system calls a confined decoder may make: reading what it was given or
/// what it may open read-only, memory, threads, clocks, and writing to the
/// descriptors it answers on. Any other call (a socket, a file opened for writing
/// or created, a program started, another process traced or signalled, new code
/// mapped, a limit raised) kills the whole process at once.
namespace SystemCallFilter {

/// Installs the filter for good on every thread of the process, present and
/// future. `writableFds` are the only descriptors written to (sanitizer builds
/// write anywhere: their runtime probes memory through pipes of its own). The
/// caller has set no-new-privileges first. False when the kernel refused it.
bool install(std::span<const int> writableFds);

}

}
