#include "carve/formats/PDFCarver.hpp"

namespace brightfold {

PDFCarver::PDFCarver()
    : FormatCarver("pdf", { FormatCategory::documents }, { textSignature("%PDF-") }, 0)
{
}

std::optional<CarveMatch> PDFCarver::carve(uint64_t, ReadContext&) const
{
    return std::nullopt;
}

}
