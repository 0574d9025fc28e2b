#include "carve/formats/MP3Carver.hpp"

namespace brightfold {

MP3Carver::MP3Carver()
    : FormatCarver("mp3", { FormatCategory::audio }, { textSignature("ID3") }, 0)
{
}

std::optional<CarveMatch> MP3Carver::carve(uint64_t, ReadContext&) const
{
    return std::nullopt;
}

}
