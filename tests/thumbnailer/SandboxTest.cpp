#include "SanitizerBuild.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <grp.h>
#include <iostream>
#include <map>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace brightfold::test;

namespace {

constexpr uid_t kNobody = 65534;

enum class StartAs { Caller, Nobody };
enum class Capture { StandardOutput, StandardError };

struct ProbeStart {
    StartAs startAs { StartAs::Caller };
    Capture capture { Capture::StandardOutput };
    /// A hard limit on open files set before the probe starts; 0 for none.
    rlim_t openFilesBefore { 0 };
};

struct ProbeRun {
    int status { -1 };
    std::string output;

    bool killedBySystemCallFilter() const { return WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS; }
    bool exitedCleanly() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
    std::map<std::string, std::string> facts() const
    {
        std::map<std::string, std::string> facts;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            const auto space = line.find(' ');
            if (space != std::string::npos)
                facts[line.substr(0, space)] = line.substr(space + 1);
        }
        return facts;
    }
};

/// Runs the probe (a program confined like the thumbnail worker) with `action`
/// and `path`, collecting what it prints (standard error too when asked) and how
/// it ended.
ProbeRun runProbe(const std::string& action, const std::string& path = {}, ProbeStart start = {})
{
    int out[2];
    if (::pipe(out) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        if (start.capture == Capture::StandardError)
            ::dup2(out[1], STDERR_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        const rlimit openFiles { start.openFilesBefore, start.openFilesBefore };
        if (start.openFilesBefore != 0 && ::setrlimit(RLIMIT_NOFILE, &openFiles) != 0)
            ::_exit(126);
        if (start.startAs == StartAs::Nobody && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(126);
        ::execl(BRIGHTFOLD_SANDBOX_PROBE, BRIGHTFOLD_SANDBOX_PROBE, action.c_str(), path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    ProbeRun run;
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            run.output.append(buffer, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    }
    ::close(out[0]);
    ::waitpid(child, &run.status, 0);
    return run;
}

std::string networkNamespaceOfThisProcess()
{
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/ns/net", error).string();
}

}

// Every way out of the box the decoders might try, once hijacked by a crafted
// file: each must end the process at once, and leave the files as they were.
TEST(SandboxTest, ForbiddenCallsKillTheProcess)
{
    TemporaryFolder folder;
    const auto existing = folder.path() / "existing";
    writeWholeFile(existing, { 'k', 'e', 'e', 'p' });
    const std::pair<const char*, std::filesystem::path> cases[] = {
        { "inet-socket", {} },
        { "unix-socket", {} },
        { "create", folder.path() / "new" },
        { "create-read-only", folder.path() / "new" },
        { "open-for-writing", existing },
        { "open-for-appending", existing },
        { "truncate-on-open", existing },
        { "truncate", existing },
        { "unlink", existing },
        { "rename", existing },
        { "mkdir", folder.path() / "new" },
        { "chmod", existing },
        { "exec", {} },
        { "fork", {} },
        { "ptrace", {} },
        { "signal-parent", {} },
        { "raise-limit", {} },
        { "map-code", {} },
        { "become-root", {} },
    };
    for (const auto& [action, path] : cases) {
        SCOPED_TRACE(action);
        const ProbeRun run = runProbe(action, path.string());
        EXPECT_TRUE(run.killedBySystemCallFilter()) << "status " << run.status << ", printed: " << run.output;
        EXPECT_FALSE(std::filesystem::exists(folder.path() / "new"));
        EXPECT_EQ(readWholeFile(existing), (std::vector<uint8_t> { 'k', 'e', 'e', 'p' }));
    }
}

// What decoding needs still works inside: reading a file (here in a folder only
// its owner may enter) and starting a thread.
TEST(SandboxTest, ReadingAndThreadsAreAllowed)
{
    TemporaryFolder folder;
    writeWholeFile(folder.path() / "picture", { 'p', 'i', 'x' });
    const ProbeRun read = runProbe("read", (folder.path() / "picture").string());
    EXPECT_TRUE(read.exitedCleanly()) << "status " << read.status;
    EXPECT_EQ(read.output, "pix");
    const ProbeRun thread = runProbe("thread");
    EXPECT_TRUE(thread.exitedCleanly()) << "status " << thread.status;
    EXPECT_EQ(thread.output, "42\n");
}

// A soft limit alone can be raised again by the code it fences in.
TEST(SandboxTest, HardLimitsEqualTheSoftOnes)
{
    const ProbeRun run = runProbe("limits");
    ASSERT_TRUE(run.exitedCleanly()) << "status " << run.status;
    const auto facts = run.facts();
    for (const char* name : { "cpu", "file-size", "core", "open-files", "address-space" }) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(facts.contains(name));
        std::istringstream limit(facts.at(name));
        std::string soft, hard;
        limit >> soft >> hard;
        EXPECT_EQ(soft, hard);
    }
    EXPECT_EQ(facts.at("cpu"), "60 60");
    EXPECT_EQ(facts.at("file-size"), "0 0");
    EXPECT_EQ(facts.at("core"), "0 0");
    EXPECT_EQ(facts.at("open-files"), "32 32");

    // A hard limit its starter already set tighter stays as it was.
    const ProbeRun tighter = runProbe("limits", {}, { .openFilesBefore = 16 });
    ASSERT_TRUE(tighter.exitedCleanly()) << "status " << tighter.status;
    EXPECT_EQ(tighter.facts().at("open-files"), "16 16");
}

// Started as root it runs as nobody, in a network of its own; started as an
// ordinary user it keeps that user and gets its own network where the system
// allows unprivileged namespaces, and still reads what that user may.
TEST(SandboxTest, LeavesRootAndTheNetwork)
{
    if (::geteuid() != 0)
        SKIP_WITHOUT_CAPABILITY("needs root to start the probe both as root and as nobody");
    for (const StartAs startAs : { StartAs::Caller, StartAs::Nobody }) {
        SCOPED_TRACE(startAs == StartAs::Caller ? "started as root" : "started as nobody");
        const ProbeRun run = runProbe("limits", {}, { .startAs = startAs });
        ASSERT_TRUE(run.exitedCleanly()) << "status " << run.status;
        const auto facts = run.facts();
        EXPECT_EQ(facts.at("uid"), std::to_string(kNobody));
        if (facts.at("own-network") == "1")
            EXPECT_NE(facts.at("network"), networkNamespaceOfThisProcess());
        else
            std::cout << "[ SKIPPED  ] the system refuses the probe a network namespace here\n";
    }
    const ProbeRun read = runProbe("read", dataFile("images/gradient.png").string(), { .startAs = StartAs::Nobody });
    EXPECT_TRUE(read.exitedCleanly()) << "status " << read.status;
    EXPECT_EQ(read.output.substr(1, 3), "PNG");
}

// The sanitizer runtime reports from inside the filter: a fault in a decoder
// shows up as its report, not as the filter killing the reporter.
TEST(SandboxTest, SanitizerReportsFromInside)
{
    if (!brightfold::kSanitizerBuild)
        GTEST_SKIP() << "not a sanitizer build";
    const ProbeRun run = runProbe("heap-overflow", {}, { .capture = Capture::StandardError });
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) != 0) << "status " << run.status;
    EXPECT_NE(run.output.find("AddressSanitizer: heap-buffer-overflow"), std::string::npos) << run.output;
}
