// brightfold-thumbnailer: the worker that draws thumbnails of carved files, so
// that the format libraries never see damaged bytes inside the application.
// It loads every library it needs, confines itself (Sandbox.hpp), then reads
// framed requests on standard input one at a time (a file on disk by its path,
// or a carved file's bytes handed over the same pipe), answers each with a
// framed reply on standard output, and exits at the end of its input. A request
// it cannot parse ends it with a non-zero status.

#include "FrameReader.hpp"
#include "Sandbox.hpp"
#include "SanitizerBuild.hpp"
#include "ThumbnailMessages.hpp"
#include "Thumbnailer.hpp"

#include <QCoreApplication>

#include <array>
#include <cerrno>
#include <cstdio>
#include <new>
#include <fcntl.h>
#include <unistd.h>

using namespace brightfold;

namespace {

// The CPU time of the worker's whole life; the kernel kills it past that. A
// request may take up to kCpuSecondsPerRequest: more than the application's
// 20-second wait, so the application's deadline normally fires first. This
// limit ends a worker whose application is gone.
constexpr rlim_t kCpuSecondsPerWorker = 60;
constexpr long kCpuSecondsPerRequest = 25;
// Sanitizer builds reserve terabytes of shadow memory up front: no cap there.
constexpr rlim_t kAddressSpaceBytes = kSanitizerBuild ? 0 : rlim_t { 1 } << 30; // 1 GiB
// Standard streams, the reply copy, the file being drawn, fonts, libraries' own.
constexpr rlim_t kOpenFiles = 32;
constexpr size_t kReadBytes = 64 * 1024;

constexpr int kExitMalformedRequest = 2;
constexpr int kExitCannotReply = 3;
constexpr int kExitCannotConfine = 5;

bool writeAll(int fd, const std::vector<uint8_t>& bytes)
{
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

}

int main(int argc, char** argv)
{
    // Libraries may print to standard output: replies go out on a private copy of
    // it, and whatever else is printed lands on standard error.
    const int replies = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (replies < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return kExitCannotReply;

    QCoreApplication application(argc, argv);
    Thumbnailer thumbnailer;
    thumbnailer.prepare();
    SandboxRules rules;
    rules.fences = { kAddressSpaceBytes, kCpuSecondsPerWorker, kOpenFiles };
    rules.writableFds = { STDOUT_FILENO, STDERR_FILENO, replies };
    try {
        enterSandbox(rules);
    } catch (const SandboxError& error) {
        std::fprintf(stderr, "brightfold-thumbnailer: cannot confine itself: %s\n", error.what());
        return kExitCannotConfine;
    }

    FrameReader reader(thumbnail::kMaxRequestPayloadBytes);
    RequestAssembler requests;
    std::array<uint8_t, kReadBytes> buffer {};
    for (;;) {
        // Only between requests: a worker never leaves with a file's bytes half received.
        if (requests.isIdle() && reader.bufferedBytes() == 0
            && ResourceLimits::cpuSecondsUsed() + kCpuSecondsPerRequest >= static_cast<long>(kCpuSecondsPerWorker))
            return thumbnail::kExitRetired;
        const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        reader.append(std::span(buffer.data(), static_cast<size_t>(n)));
        while (auto payload = reader.takeFrame()) {
            RequestAssembler::Outcome outcome = RequestAssembler::Outcome::malformed;
            try {
                outcome = requests.take(*payload);
            } catch (const std::bad_alloc&) {
                // The address-space limit refused the announced size.
            }
            if (outcome == RequestAssembler::Outcome::malformed)
                return kExitMalformedRequest;
            if (outcome == RequestAssembler::Outcome::incomplete)
                continue;
            const ThumbnailReply reply = thumbnailer.reply(requests.request(), requests.bytes());
            requests.clear();
            if (!writeAll(replies, encodeFrame(encodeReply(reply))))
                return kExitCannotReply;
        }
        if (reader.isBroken())
            return kExitMalformedRequest;
    }
}
