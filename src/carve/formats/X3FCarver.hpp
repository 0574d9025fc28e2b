#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Sigma X3F raw files. The section directory ("SECd") comes last, followed by
/// a u32 pointing back at it; the carver searches forward for a directory whose
/// trailing pointer names it and whose sections all lie between the header and
/// the directory. The file ends with the pointer.
///
/// Bad input: no such directory among the first 16 found within the walk
/// window is no match.
class X3FCarver final : public FormatCarver {
public:
    X3FCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
