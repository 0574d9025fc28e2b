#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// gzip files: one member or several back to back. Each member's deflate
/// stream is inflated (with zlib) to its end, and its trailer's CRC-32 and size
/// are checked against what came out, so an exact match has checked every byte.
/// A file whose first member holds a tar archive is named "tar.gz".
///
/// Bad input: a header with reserved flags or unterminated names, or a stream
/// that breaks before it gives 64 KiB, is no match. A stream that breaks later,
/// runs past the walk window, or expands past 1 GiB or 128 times its size
/// after the first 64 MiB (a bomb, or zeros after a stream cut short) ends
/// after the last byte inflated, and one whose trailer does not agree after
/// its trailer: heuristic.
class GzipCarver final : public FormatCarver {
public:
    GzipCarver();

    bool provesWholeBody() const override { return true; }
    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
