#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

class TIFFCarver final : public FormatCarver {
public:
    TIFFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
