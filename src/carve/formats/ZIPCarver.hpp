#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

class ZIPCarver final : public FormatCarver {
public:
    ZIPCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
