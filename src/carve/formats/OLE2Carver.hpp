#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// OLE2 compound files (legacy Word, Excel and PowerPoint documents). The
/// length is an estimate, the largest file the header's count of allocation
/// table sectors can address, cut to 256 MiB (and by the engine to the source), so every match
/// is heuristic. The kind of document comes from the main stream names found
/// in the first 8 MiB of the carved range ("ole" when none is there).
class OLE2Carver final : public FormatCarver {
public:
    OLE2Carver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
