#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

class PNGCarver final : public FormatCarver {
public:
    PNGCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
