// Confines itself exactly as the thumbnail worker does, then does the one thing
// its first argument names, with the path in its second. Whatever the filter
// forbids must end it with SIGSYS; when it does not, the probe prints "survived"
// and exits 0. "limits" prints the fences it lives in, one "name soft hard" line
// each, then its user id, whether it has a network of its own, and which.

#include "Sandbox.hpp"
#include "SanitizerBuild.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <signal.h>
#include <string>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace brightfold;

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitNotConfined = 70;
constexpr int kExitFailed = 1;

std::string limitText(rlim_t value)
{
    return value == RLIM_INFINITY ? "unlimited" : std::to_string(value);
}

int printLimits(const SandboxState& state)
{
    const std::pair<const char*, int> limits[] = { { "address-space", RLIMIT_AS }, { "cpu", RLIMIT_CPU },
        { "file-size", RLIMIT_FSIZE }, { "core", RLIMIT_CORE }, { "open-files", RLIMIT_NOFILE } };
    for (const auto& [name, resource] : limits) {
        rlimit limit {};
        if (::getrlimit(resource, &limit) != 0)
            return kExitFailed;
        std::printf("%s %s %s\n", name, limitText(limit.rlim_cur).c_str(), limitText(limit.rlim_max).c_str());
    }
    std::array<char, 128> network {};
    if (::readlink("/proc/self/ns/net", network.data(), network.size() - 1) < 0)
        return kExitFailed;
    std::printf("uid %u\nown-network %d\nnetwork %s\n", ::getuid(), state.ownNetwork ? 1 : 0, network.data());
    return 0;
}

int readFile(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return kExitFailed;
    std::array<char, 64> bytes {};
    const ssize_t n = ::read(fd, bytes.data(), bytes.size());
    ::close(fd);
    if (n <= 0)
        return kExitFailed;
    std::fwrite(bytes.data(), 1, static_cast<size_t>(n), stdout);
    return 0;
}

/// Writes past the end of a heap block: in sanitizer builds the runtime must
/// still be able to report it from inside the filter.
int overflowHeap()
{
    auto* block = new char[4];
    volatile size_t past = 5;
    std::memset(block, 1, past);
    const int last = block[3];
    delete[] block;
    return last;
}

int runThread()
{
    int answer = 0;
    std::thread([&answer] { answer = 42; }).join();
    std::printf("%d\n", answer);
    return answer == 42 ? 0 : kExitFailed;
}

}

int main(int argc, char** argv)
{
    if (argc < 2)
        return kExitUsage;
    const std::string action = argv[1];
    const char* path = argc > 2 ? argv[2] : "";

    SandboxRules rules;
    rules.fences = { kSanitizerBuild ? 0 : rlim_t { 1 } << 30, 60, 32 };
    rules.writableFds = { STDOUT_FILENO, STDERR_FILENO };
    SandboxState state;
    try {
        state = enterSandbox(rules);
    } catch (const SandboxError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return kExitNotConfined;
    }

    // Allowed: each returns the probe's exit status.
    const std::map<std::string, std::function<int()>> allowed {
        { "limits", [&state] { return printLimits(state); } },
        { "read", [path] { return readFile(path); } },
        { "thread", [] { return runThread(); } },
        { "heap-overflow", [] { return overflowHeap(); } },
    };
    // Forbidden: each must end the process before it returns.
    const std::map<std::string, std::function<long()>> forbidden {
        { "inet-socket", [] { return ::socket(AF_INET, SOCK_STREAM, 0); } },
        { "unix-socket", [] { return ::socket(AF_UNIX, SOCK_STREAM, 0); } },
        { "create", [path] { return ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600); } },
        { "create-read-only", [path] { return ::open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0600); } },
        { "open-for-writing", [path] { return ::open(path, O_WRONLY | O_CLOEXEC); } },
        { "open-for-appending", [path] { return ::open(path, O_RDWR | O_APPEND | O_CLOEXEC); } },
        { "truncate-on-open", [path] { return ::open(path, O_RDONLY | O_TRUNC | O_CLOEXEC); } },
        { "truncate", [path] { return ::truncate(path, 0); } },
        { "unlink", [path] { return ::unlink(path); } },
        { "rename", [path] { return ::rename(path, (std::string(path) + ".moved").c_str()); } },
        { "mkdir", [path] { return ::mkdir(path, 0700); } },
        { "chmod", [path] { return ::chmod(path, 0777); } },
        { "exec", [] { return ::execl("/bin/true", "true", static_cast<char*>(nullptr)); } },
        { "fork", [] { return static_cast<long>(::fork()); } },
        { "ptrace", [] { return ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr); } },
        { "signal-parent", [] { return ::kill(::getppid(), 0); } },
        { "raise-limit", [] {
             const rlimit cpu { 600, 600 };
             return ::setrlimit(RLIMIT_CPU, &cpu);
         } },
        { "map-code", [] {
             void* code = ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
             return code == MAP_FAILED ? -1L : 0L;
         } },
        { "become-root", [] { return ::setuid(0); } },
    };
    if (const auto found = allowed.find(action); found != allowed.end())
        return found->second();
    if (const auto found = forbidden.find(action); found != forbidden.end()) {
        found->second();
        std::printf("survived\n");
        return 0;
    }
    return kExitUsage;
}
