// A stand-in for brightfold-thumbnailer that misbehaves on cue, speaking the real
// framing; the requested file's name (or, for handed bytes, the bytes
// themselves) says what to do. "crash" aborts, "hang"
// never answers, "spin" burns CPU forever, "oversized" answers with a picture
// wider than asked, "twice" answers twice at once, "late" answers and then sends
// a stray 1 × 1 picture a moment later, "retiring" answers and then, as a worker
// whose CPU time is used up, leaves at the next request without answering it,
// "retired" leaves so at once; any other name gets a 2 × 2 picture.

#include "FrameReader.hpp"
#include "ThumbnailMessages.hpp"

#include <array>
#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace brightfold;

namespace {

bool s_retireBeforeNext = false;

void send(uint16_t width, uint16_t height, int copies = 1)
{
    const ThumbnailPixels pixels { width, height, std::vector<uint8_t>(size_t { width } * height * 4, 0xFF) };
    std::vector<uint8_t> frames;
    for (int i = 0; i < copies; ++i) {
        const auto frame = encodeFrame(encodeReply({ pixels }));
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    if (::write(STDOUT_FILENO, frames.data(), frames.size()) != static_cast<ssize_t>(frames.size()))
        std::exit(3);
}

void answer(const ThumbnailRequest& request, const std::vector<uint8_t>& bytes)
{
    const std::string said = request.handsBytes() ? std::string(bytes.begin(), bytes.end()) : request.path;
    const auto has = [&said](const char* word) { return said.find(word) != std::string::npos; };
    if (s_retireBeforeNext || has("retired"))
        std::exit(thumbnail::kExitRetired);
    if (has("crash"))
        std::abort();
    if (has("hang"))
        ::pause();
    volatile unsigned long sink = 0;
    while (has("spin"))
        sink = sink + 1;
    if (has("oversized"))
        return send(static_cast<uint16_t>(request.maxWidth + 1), 1);
    send(2, 2, has("twice") ? 2 : 1);
    s_retireBeforeNext = has("retiring");
    if (has("late")) {
        ::usleep(200'000);
        send(1, 1);
    }
}

}

int main()
{
    FrameReader reader(thumbnail::kMaxRequestPayloadBytes);
    RequestAssembler requests;
    std::array<uint8_t, 4096> buffer {};
    for (ssize_t n; (n = ::read(STDIN_FILENO, buffer.data(), buffer.size())) > 0;) {
        reader.append(std::span(buffer.data(), static_cast<size_t>(n)));
        while (auto payload = reader.takeFrame()) {
            const auto outcome = requests.take(*payload);
            if (outcome == RequestAssembler::Outcome::malformed)
                return 2;
            if (outcome == RequestAssembler::Outcome::complete)
                answer(requests.request(), requests.bytes());
        }
    }
}
