#include "carve/formats/PDFCarver.hpp"

#include <algorithm>
#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kHeaderBytes = 5;             // "%PDF-"
constexpr uint64_t kFirstSearchRange = 0x10000000; // 256 MiB after the header: the first marker must lie there
constexpr uint64_t kFollowOnWindow = 0x400000;   // 4 MiB after the end of one marker: the next one of the chain
constexpr int kMaximumLineEndBytes = 2;

constexpr std::array<uint8_t, 5> kEndOfFileMarker { '%', '%', 'E', 'O', 'F' };
constexpr std::array<uint8_t, 5> kHeader { '%', 'P', 'D', 'F', '-' };

}

PDFCarver::PDFCarver()
    : FormatCarver("pdf", { FormatCategory::documents }, { textSignature("%PDF-") }, 0,
        { kHeaderBytes + kFirstSearchRange, kHeaderBytes + kFirstSearchRange + ReadContext::kSearchOverrun + kMaximumLineEndBytes })
{
}

std::optional<CarveMatch> PDFCarver::carve(uint64_t at, ReadContext& context) const
{
    // The version after "%PDF-" starts with a digit 1 to 9.
    auto version = context.byte(at + kHeaderBytes);
    if (!version || *version < '1' || *version > '9')
        return std::nullopt;

    // The first marker anywhere in the first range, then each marker that starts
    // within the follow-on window after the end of the one before (one per
    // incremental update); the chain ends at the first gap wider than the window,
    // at the end of the first range, or where another document's header comes
    // before the next marker: documents saved one after another on a card are
    // separate files, not updates of the first.
    uint64_t size = context.size();
    uint64_t limit = kFirstSearchRange > size - std::min(size, at + kHeaderBytes) ? size : at + kHeaderBytes + kFirstSearchRange;
    auto lastMarker = context.find(kEndOfFileMarker, at + kHeaderBytes, kFirstSearchRange, ReadContext::kSearchChunk);
    if (!lastMarker)
        return std::nullopt;
    for (;;) {
        uint64_t from = *lastMarker + kEndOfFileMarker.size();
        if (from >= limit)
            break;
        auto next = context.find(kEndOfFileMarker, from, std::min(kFollowOnWindow, limit - from), ReadContext::kSearchChunk);
        if (!next || context.find(kHeader, from, *next - from, ReadContext::kSearchChunk))
            break;
        lastMarker = next;
    }

    uint64_t end = *lastMarker + kEndOfFileMarker.size();
    for (int taken = 0; taken < kMaximumLineEndBytes && end < size; ++taken) {
        auto next = context.byte(end);
        if (!next || (*next != '\r' && *next != '\n'))
            break;
        ++end;
    }
    return CarveMatch { end - at, "pdf", FormatCategory::documents, CarveConfidence::exact };
}

}
