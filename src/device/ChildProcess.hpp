#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace brightfold {

/// A child process started from an absolute path, with no shell and no search of
/// PATH. Owned: destroying a started child waits for it, so none is left behind
/// as a zombie. Move-only.
class ChildProcess {
public:
    /// What a finished child left behind.
    struct Result {
        int exitStatus { -1 }; ///< the exit code; -1 when a signal ended it
        std::string output;    ///< everything it wrote to standard output
    };

    /// Starts `arguments[0]` with `arguments` as its argument vector, this process's
    /// environment, `standardOutput` as its descriptor 1 and, when not -1,
    /// `standardError` as its descriptor 2 (else the parent's). No other descriptor
    /// of this process reaches the child. On failure returns no value and sets
    /// `error` to the spawn error code.
    static std::optional<ChildProcess> start(const std::vector<std::string>& arguments, int standardOutput, int standardError,
        int& error);

    /// Runs a program to its end, collecting its standard output; standard error is
    /// drained and dropped (both pipes are read together, so neither can fill up and
    /// stall the child). No value when it could not be started.
    static std::optional<Result> run(const std::vector<std::string>& arguments);

    /// The first of /usr/bin, /bin, /usr/sbin, /sbin holding an executable `name`;
    /// no value when none does. The user's PATH is not consulted.
    static std::optional<std::string> findProgram(const std::string& name);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    /// Waits for the child to exit (retrying when interrupted) and returns its exit
    /// code, or -1 when a signal ended it. Later calls return the same value.
    int wait();

private:
    explicit ChildProcess(pid_t pid) : m_pid(pid) { }

    pid_t m_pid { -1 };
    int m_exitStatus { -1 };
};

}
