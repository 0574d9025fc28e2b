#include "carve/formats/RIFFCarver.hpp"

namespace brightfold {

RIFFCarver::RIFFCarver()
    : FormatCarver("riff", { FormatCategory::photos, FormatCategory::video, FormatCategory::audio }, { textSignature("RIFF"), textSignature("FORM") }, 0)
{
}

std::optional<CarveMatch> RIFFCarver::carve(uint64_t, ReadContext&) const
{
    return std::nullopt;
}

}
