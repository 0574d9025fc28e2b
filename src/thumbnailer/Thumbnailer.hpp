#pragma once

#include "ThumbnailMessages.hpp"
#include "decoders/ThumbnailDecoder.hpp"

#include <memory>
#include <vector>

namespace brightfold {

/// The worker's one job: a request in, a reply out. Picks the decoder family by
/// the file's extension (carved files are named with the extension their carver
/// found) and turns what it draws into pixels no larger than the request allows.
class Thumbnailer {
public:
    Thumbnailer();
    ~Thumbnailer();

    /// Has every decoder load what it would otherwise load on first use.
    void prepare();

    /// Nothing for unknown extensions, unreadable or damaged files and pictures
    /// too large for the worker's memory limit.
    ThumbnailReply reply(const ThumbnailRequest& request);

private:
    ThumbnailDecoder* decoderFor(const QString& ext) const;

    std::vector<std::unique_ptr<ThumbnailDecoder>> m_decoders;
};

}
