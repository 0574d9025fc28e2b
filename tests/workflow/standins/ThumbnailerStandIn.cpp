// A stand-in for brightfold-thumbnailer that misbehaves on cue, for the tests of
// the application's side: it speaks the real framing, and the requested file's
// name says what to do. "crash" aborts, "hang" never answers, "spin" burns CPU
// forever, "oversized" answers with a picture larger than asked, "twice" answers
// twice at once, "late" answers and then sends a stray 1 × 1 picture a moment
// later; any other name gets a 2 × 2 red picture.

#include "FrameReader.hpp"
#include "ThumbnailMessages.hpp"

#include <array>
#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace brightfold;

namespace {

void send(const ThumbnailReply& reply, int copies = 1)
{
    std::vector<uint8_t> frame;
    for (int i = 0; i < copies; ++i) {
        const auto one = encodeFrame(encodeReply(reply));
        frame.insert(frame.end(), one.begin(), one.end());
    }
    size_t written = 0;
    while (written < frame.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, frame.data() + written, frame.size() - written);
        if (n <= 0)
            std::exit(3);
        written += static_cast<size_t>(n);
    }
}

ThumbnailReply picture(uint16_t width, uint16_t height)
{
    ThumbnailPixels pixels { width, height, {} };
    for (int i = 0; i < width * height; ++i)
        pixels.rgba.insert(pixels.rgba.end(), { 255, 0, 0, 255 });
    return ThumbnailReply { pixels };
}

void answer(const ThumbnailRequest& request)
{
    const auto has = [&request](const char* word) { return request.path.find(word) != std::string::npos; };
    if (has("crash"))
        std::abort();
    if (has("hang"))
        ::pause();
    if (has("spin")) {
        volatile unsigned long sink = 0;
        for (;;)
            sink = sink + 1;
    }
    if (has("oversized"))
        return send(picture(static_cast<uint16_t>(request.maxWidth + 1), 1));
    if (has("twice"))
        return send(picture(2, 2), 2);
    send(picture(2, 2));
    if (has("late")) {
        ::usleep(200'000);
        send(picture(1, 1));
    }
}

}

int main()
{
    FrameReader reader(thumbnail::kMaxRequestPayloadBytes);
    std::array<uint8_t, 4096> buffer {};
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n <= 0)
            return 0;
        reader.append(std::span(buffer.data(), static_cast<size_t>(n)));
        while (auto payload = reader.takeFrame()) {
            auto request = decodeRequest(*payload);
            if (!request)
                return 2;
            answer(*request);
        }
    }
}
