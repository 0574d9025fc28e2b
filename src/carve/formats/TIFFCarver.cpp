#include "carve/formats/TIFFCarver.hpp"

namespace brightfold {

TIFFCarver::TIFFCarver()
    : FormatCarver("tiff", { FormatCategory::photos, FormatCategory::rawPhotos }, { { 0x49, 0x49, 0x2A, 0x00 }, { 0x4D, 0x4D, 0x00, 0x2A } }, 0)
{
}

std::optional<CarveMatch> TIFFCarver::carve(uint64_t, ReadContext&) const
{
    return std::nullopt;
}

}
