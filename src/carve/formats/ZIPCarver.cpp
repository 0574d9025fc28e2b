#include "carve/formats/ZIPCarver.hpp"

namespace brightfold {

ZIPCarver::ZIPCarver()
    : FormatCarver("zip", { FormatCategory::documents, FormatCategory::archives }, { { 0x50, 0x4B, 0x03, 0x04 } }, 0)
{
}

std::optional<CarveMatch> ZIPCarver::carve(uint64_t, ReadContext&) const
{
    return std::nullopt;
}

}
