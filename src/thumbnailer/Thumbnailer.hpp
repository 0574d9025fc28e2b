#pragma once

#include "ThumbnailMessages.hpp"
#include "decoders/ThumbnailDecoder.hpp"

#include <memory>
#include <span>
#include <vector>

namespace brightfold {

/// The worker's one job: a request in, a reply out. Picks the decoder family by
/// the file's extension (carved files are named with the extension their carver
/// found) and turns the smallest picture that serves into pixels no larger than
/// the request allows.
class Thumbnailer {
public:
    Thumbnailer();
    ~Thumbnailer();

    /// Has every decoder load what it would otherwise load on first use.
    void prepare();

    /// The reply to `request`, whose file is `bytes` when the request handed
    /// them over. Nothing for unknown extensions, unreadable or damaged files
    /// and pictures too large for the worker's memory limit.
    ThumbnailReply reply(const ThumbnailRequest& request, std::span<const uint8_t> bytes = {});

    /// The decoder of the family that reads files with extension `ext`.
    ThumbnailDecoder* decoderFor(std::string_view ext) const;

private:
    std::vector<std::unique_ptr<ThumbnailDecoder>> m_decoders;
};

}
