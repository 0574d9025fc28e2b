#pragma once

namespace brightfold {

/// The worker's own fences, so a decoder that goes wild on a damaged file costs
/// that file and never the machine.
namespace ResourceLimits {

/// Caps the worker's address space. Skipped in sanitizer builds, whose shadow
/// memory reserves terabytes of address space up front.
void capMemory();
/// Lets the worker use `seconds` more CPU time from now; past that the kernel
/// ends it with SIGXCPU. Called before each request, since the limit counts the
/// process's whole life.
void allowCpuSeconds(long seconds);

}

}
