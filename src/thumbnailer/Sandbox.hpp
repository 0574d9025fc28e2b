#pragma once

#include "ResourceLimits.hpp"

#include <stdexcept>
#include <string>
#include <vector>

namespace brightfold {

/// What a worker started as root may still read once it runs as nobody.
enum class RootFileReads {
    /// Any file, read-only (the capability CAP_DAC_READ_SEARCH alone): the files
    /// it is asked to draw lie in root's own folders.
    AnyFile,
    /// Only what nobody may read.
    AsNobody,
};

/// How tightly `Sandbox::enter` confines the process.
struct SandboxRules {
    ResourceLimits::Fences fences;
    /// The only descriptors the process writes to from then on.
    std::vector<int> writableFds;
    RootFileReads rootFileReads { RootFileReads::AnyFile };
};

/// What the confinement could do beyond its fixed parts.
struct SandboxState {
    /// In a network namespace of its own (no interface but a down loopback);
    /// false where the system refuses unprivileged namespaces.
    bool ownNetwork { false };
    /// Started as root and now runs as nobody.
    bool leftRoot { false };
};

/// The one step that could not be taken; what() names it.
class SandboxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Confines the calling process for the rest of its life, before it decodes
/// anything it was given: limits whose hard values equal the soft ones, a fresh
/// network namespace where the system allows one, nobody's identity when started
/// as root, no-new-privileges, then the system-call filter (SystemCallFilter.hpp).
/// Call it while the process has a single thread, after every library and plugin
/// the decoders need is loaded. Throws SandboxError when a step other than the
/// namespace fails: the process must then decode nothing.
SandboxState enterSandbox(const SandboxRules& rules);

}
