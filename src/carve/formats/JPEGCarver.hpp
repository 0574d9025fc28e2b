#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

class JPEGCarver final : public FormatCarver {
public:
    JPEGCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
