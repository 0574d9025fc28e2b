#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

class MP3Carver final : public FormatCarver {
public:
    MP3Carver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
