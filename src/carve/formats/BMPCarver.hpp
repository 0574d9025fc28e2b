#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

class BMPCarver final : public FormatCarver {
public:
    BMPCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
