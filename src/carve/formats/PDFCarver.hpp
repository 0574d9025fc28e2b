#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// PDF documents. A PDF has no length field: the file ends at the first
/// "%%EOF" after the header, or, for a document saved with incremental
/// updates, at the last marker of a chain in which each marker starts within
/// 4 MiB of the end of the one before; up to two line-end bytes after it are
/// kept. Exact at the last marker whose "startxref" points, from the header, at
/// the cross-reference section; heuristic without one, and up to the next
/// header when another document starts before any marker. No marker within
/// 256 MiB of the header is no match.
class PDFCarver final : public FormatCarver {
public:
    PDFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
