#include "carve/formats/ISOBMFFCarver.hpp"

namespace brightfold {

ISOBMFFCarver::ISOBMFFCarver()
    : FormatCarver("isobmff", { FormatCategory::photos, FormatCategory::rawPhotos, FormatCategory::video, FormatCategory::audio }, { textSignature("ftyp") }, 4)
{
}

std::optional<CarveMatch> ISOBMFFCarver::carve(uint64_t, ReadContext&) const
{
    return std::nullopt;
}

}
