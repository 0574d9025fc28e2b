#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

class GIFCarver final : public FormatCarver {
public:
    GIFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
