#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

class PDFCarver final : public FormatCarver {
public:
    PDFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
