#include "carve/formats/GIFCarver.hpp"

namespace brightfold {

GIFCarver::GIFCarver()
    : FormatCarver("gif", { FormatCategory::photos }, { textSignature("GIF87a"), textSignature("GIF89a") }, 0)
{
}

std::optional<CarveMatch> GIFCarver::carve(uint64_t, ReadContext&) const
{
    return std::nullopt;
}

}
