#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

class ISOBMFFCarver final : public FormatCarver {
public:
    ISOBMFFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
