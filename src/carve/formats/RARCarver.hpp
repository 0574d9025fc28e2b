#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// RAR archives, in both block formats: RAR 4 (signature "Rar!" 1A 07 00) and
/// RAR 5 (signature "Rar!" 1A 07 01 00). Walks the chain of blocks, each header
/// checked by its CRC and each block's packed data skipped by its size, to the
/// end-of-archive block, which proves the end.
///
/// Bad input: a first block that is not the archive (main) header, or headers
/// encrypted past it, is no match. A chain that breaks off after at least one
/// file block (an old archive without an end block, or a damaged one) ends
/// after its last good block, as heuristic.
class RARCarver final : public FormatCarver {
public:
    RARCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
