#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Windows bitmaps: trusts the file size in the file header once the header's
/// fields agree with each other. Reports an exact length or nothing: an
/// implausible size, pixel-data offset or information-header size, or a file
/// that would run past the end of the source, is no match.
class BMPCarver final : public FormatCarver {
public:
    BMPCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
