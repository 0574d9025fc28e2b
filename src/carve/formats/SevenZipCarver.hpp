#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// 7z archives. The 32-byte signature header carries, under its own CRC, the
/// offset and size of the next header (the archive's directory, written last)
/// and that header's CRC; the archive ends with the next header.
///
/// Bad input: a signature header whose CRC does not hold, an unknown major
/// version, or a next header ending past the walk window is no match. A next
/// header whose CRC does not hold (overwritten, or too large to check) leaves
/// the end a guess: heuristic.
class SevenZipCarver final : public FormatCarver {
public:
    SevenZipCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
