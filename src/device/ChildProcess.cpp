#include "device/ChildProcess.hpp"

#include "device/UniqueFd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

extern char** environ;

namespace brightfold {

namespace {

// Bytes taken from a child's pipe per read.
constexpr size_t kPipeReadSize = 16 * 1024;

/// posix_spawn's file actions, destroyed on every path.
class FileActions {
public:
    FileActions() { m_valid = ::posix_spawn_file_actions_init(&m_actions) == 0; }
    ~FileActions()
    {
        if (m_valid)
            ::posix_spawn_file_actions_destroy(&m_actions);
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    bool valid() const { return m_valid; }
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions {};
    bool m_valid { false };
};

}

std::optional<ChildProcess> ChildProcess::start(const std::vector<std::string>& arguments, int standardOutput, int standardError,
    int& error)
{
    error = 0;
    if (arguments.empty() || arguments.front().empty() || arguments.front().front() != '/') {
        error = ENOENT;
        return std::nullopt;
    }
    FileActions actions;
    if (!actions.valid()) {
        error = ENOMEM;
        return std::nullopt;
    }
    // dup2 onto the standard descriptors clears close-on-exec on the copies (also when
    // a descriptor already has that number); closefrom keeps every other descriptor of
    // this process, whoever opened it, out of the child.
    int failed = ::posix_spawn_file_actions_adddup2(actions.get(), standardOutput, STDOUT_FILENO);
    if (failed == 0 && standardError >= 0)
        failed = ::posix_spawn_file_actions_adddup2(actions.get(), standardError, STDERR_FILENO);
    if (failed == 0)
        failed = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
    if (failed != 0) {
        error = failed;
        return std::nullopt;
    }

    // The argument vector points into `arguments`, which outlives the call.
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    failed = ::posix_spawn(&pid, arguments.front().c_str(), actions.get(), nullptr, argv.data(), environ);
    if (failed != 0) {
        error = failed;
        return std::nullopt;
    }
    return ChildProcess(pid);
}

std::optional<ChildProcess::Result> ChildProcess::run(const std::vector<std::string>& arguments)
{
    std::array<int, 2> outputPipe {};
    std::array<int, 2> errorPipe {};
    if (::pipe2(outputPipe.data(), O_CLOEXEC) != 0)
        return std::nullopt;
    UniqueFd outputRead(outputPipe[0]);
    UniqueFd outputWrite(outputPipe[1]);
    if (::pipe2(errorPipe.data(), O_CLOEXEC) != 0)
        return std::nullopt;
    UniqueFd errorRead(errorPipe[0]);
    UniqueFd errorWrite(errorPipe[1]);

    int error = 0;
    std::optional<ChildProcess> child = start(arguments, outputWrite.get(), errorWrite.get(), error);
    // Only the child may hold the writing ends now, so both pipes reach their end
    // when it exits.
    outputWrite.reset();
    errorWrite.reset();
    if (!child)
        return std::nullopt;

    Result result;
    std::array<pollfd, 2> watched { pollfd { outputRead.get(), POLLIN, 0 }, pollfd { errorRead.get(), POLLIN, 0 } };
    std::array<char, kPipeReadSize> chunk {};
    int open = 2;
    while (open > 0) {
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (auto& entry : watched) {
            if (entry.fd < 0 || entry.revents == 0)
                continue;
            ssize_t got = ::read(entry.fd, chunk.data(), chunk.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                entry.fd = -1; // poll skips negative descriptors
                --open;
                continue;
            }
            if (entry.fd == outputRead.get())
                result.output.append(chunk.data(), static_cast<size_t>(got));
        }
    }
    result.exitStatus = child->wait();
    return result;
}

std::optional<std::string> ChildProcess::findProgram(const std::string& name)
{
    for (const char* folder : { "/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/" }) {
        std::string path = folder + name;
        if (::access(path.c_str(), X_OK) == 0)
            return path;
    }
    return std::nullopt;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : m_pid(std::exchange(other.m_pid, -1))
    , m_exitStatus(other.m_exitStatus)
{
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        wait();
        m_pid = std::exchange(other.m_pid, -1);
        m_exitStatus = other.m_exitStatus;
    }
    return *this;
}

ChildProcess::~ChildProcess()
{
    wait();
}

int ChildProcess::wait()
{
    if (m_pid < 0)
        return m_exitStatus;
    int status = 0;
    pid_t waited = -1;
    do {
        waited = ::waitpid(m_pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    m_pid = -1;
    m_exitStatus = waited >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m_exitStatus;
}

}
