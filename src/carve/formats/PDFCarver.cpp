#include "carve/formats/PDFCarver.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace brightfold {

namespace {

constexpr uint64_t kHeaderBytes = 5;             // "%PDF-"
constexpr uint64_t kFirstSearchRange = 0x10000000; // 256 MiB after the header: the first marker must lie there
constexpr uint64_t kFollowOnWindow = 0x400000;   // 4 MiB after the end of one marker: the next one of the chain
constexpr int kMaximumLineEndBytes = 2;
constexpr uint64_t kTrailerTailBytes = 64;       // "startxref", its offset and line ends sit this close before the marker
constexpr size_t kLongestChain = 256;            // markers followed at most: incremental updates of one document
constexpr size_t kLongestObjectNumber = 10;      // digits of an object or generation number

constexpr std::array<uint8_t, 5> kEndOfFileMarker { '%', '%', 'E', 'O', 'F' };
constexpr std::array<uint8_t, 5> kHeader { '%', 'P', 'D', 'F', '-' };

bool isDigit(uint8_t value) { return value >= '0' && value <= '9'; }
bool isWhitespace(uint8_t value) { return value == ' ' || value == '\r' || value == '\n' || value == '\t' || value == '\f' || value == 0; }

/// Whether the cross-reference section named by the "startxref" just before the
/// marker at `marker` lies where it says, counted from the header at `at`: an
/// "xref" table or an "N G obj" cross-reference stream. Only that proves the marker
/// ends this document and not a later one.
bool startxrefProves(uint64_t at, uint64_t marker, ReadContext& context)
{
    const uint64_t tailStart = std::max(at, marker - std::min(marker, kTrailerTailBytes));
    ByteRun tail = context.bytes(tailStart, static_cast<int64_t>(marker - tailStart));
    std::string_view text = tail.text();
    auto keyword = text.rfind("startxref");
    if (keyword == std::string_view::npos)
        return false;
    size_t p = keyword + 9;
    while (p < text.size() && isWhitespace(static_cast<uint8_t>(text[p])))
        ++p;
    uint64_t offset = 0;
    size_t digits = 0;
    for (; p < text.size() && isDigit(static_cast<uint8_t>(text[p])) && digits < 19; ++p, ++digits)
        offset = offset * 10 + static_cast<uint64_t>(text[p] - '0');
    if (digits == 0 || offset >= marker - at)
        return false;

    ByteRun section = context.bytes(at + offset, 2 * kLongestObjectNumber + 8);
    std::string_view found = section.text();
    if (found.starts_with("xref"))
        return true;
    // "N G obj": two numbers, each followed by whitespace.
    size_t q = 0;
    for (int number = 0; number < 2; ++number) {
        size_t first = q;
        while (q < found.size() && q - first < kLongestObjectNumber && isDigit(static_cast<uint8_t>(found[q])))
            ++q;
        if (q == first || q >= found.size() || !isWhitespace(static_cast<uint8_t>(found[q])))
            return false;
        while (q < found.size() && isWhitespace(static_cast<uint8_t>(found[q])))
            ++q;
    }
    return found.substr(q).starts_with("obj");
}

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
    const std::span<const uint8_t> markerOrHeader[] { kEndOfFileMarker, kHeader };
    auto first = context.findAny(markerOrHeader, at + kHeaderBytes, kFirstSearchRange, ReadContext::kSearchChunk);
    if (!first)
        return std::nullopt;
    if (first->patternIndex == 1) {
        // Another document starts before any marker: this one has no end of its own.
        return CarveMatch { first->offset - at, "pdf", FormatCategory::documents, CarveConfidence::heuristic };
    }
    std::vector<uint64_t> chain { first->offset };
    while (chain.size() < kLongestChain) {
        uint64_t from = chain.back() + kEndOfFileMarker.size();
        if (from >= limit)
            break;
        auto next = context.findAny(markerOrHeader, from, std::min(kFollowOnWindow, limit - from), ReadContext::kSearchChunk);
        if (!next || next->patternIndex == 1)
            break;
        chain.push_back(next->offset);
    }

    // The document ends at the last marker of the chain whose "startxref" proves it;
    // without one the whole chain is kept as an estimate.
    auto proven = std::find_if(chain.rbegin(), chain.rend(), [&](uint64_t marker) { return startxrefProves(at, marker, context); });
    const CarveConfidence confidence = proven == chain.rend() ? CarveConfidence::heuristic : CarveConfidence::exact;
    uint64_t end = (proven == chain.rend() ? chain.back() : *proven) + kEndOfFileMarker.size();
    for (int taken = 0; taken < kMaximumLineEndBytes && end < size; ++taken) {
        auto next = context.byte(end);
        if (!next || (*next != '\r' && *next != '\n'))
            break;
        ++end;
    }
    return CarveMatch { end - at, "pdf", FormatCategory::documents, confidence };
}

}
