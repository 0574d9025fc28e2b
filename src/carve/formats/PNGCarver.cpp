#include "carve/formats/PNGCarver.hpp"

namespace brightfold {

PNGCarver::PNGCarver()
    : FormatCarver("png", { FormatCategory::photos }, { { 0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A } }, 0)
{
}

std::optional<CarveMatch> PNGCarver::carve(uint64_t, ReadContext&) const
{
    return std::nullopt;
}

}
