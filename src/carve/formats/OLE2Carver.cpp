#include "carve/formats/OLE2Carver.hpp"

namespace brightfold {

OLE2Carver::OLE2Carver()
    : FormatCarver("ole2", { FormatCategory::documents }, { { 0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1 } }, 0)
{
}

std::optional<CarveMatch> OLE2Carver::carve(uint64_t, ReadContext&) const
{
    return std::nullopt;
}

}
