#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

class RIFFCarver final : public FormatCarver {
public:
    RIFFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
