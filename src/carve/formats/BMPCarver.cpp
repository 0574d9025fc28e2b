#include "carve/formats/BMPCarver.hpp"

namespace brightfold {

BMPCarver::BMPCarver()
    : FormatCarver("bmp", { FormatCategory::photos }, { textSignature("BM") }, 0)
{
}

std::optional<CarveMatch> BMPCarver::carve(uint64_t, ReadContext&) const
{
    return std::nullopt;
}

}
