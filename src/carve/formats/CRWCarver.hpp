#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Canon CRW raw files (CIFF). The root heap follows the 26-byte header and
/// keeps its table of records at its end, where its last four bytes point back
/// at the table. The carver finds that table through the record every Canon
/// CRW holds, the raw data (tag 0x2005), and checks that the pointer after the
/// table names it and that every record's data lie before it; the file ends
/// with the pointer.
///
/// Bad input: no table that passes these checks within the walk window is no match.
class CRWCarver final : public FormatCarver {
public:
    CRWCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
