#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

class OLE2Carver final : public FormatCarver {
public:
    OLE2Carver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
