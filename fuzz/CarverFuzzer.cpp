// Fuzzes one carver's carve(), chosen at build time by BRIGHTFOLD_FUZZ_CARVER
// (its id). The input describes a source, the carver's signature is put in place
// for it, and the carve must hold these properties on any bytes:
//  - it never reads before the file's start, nor further from it than the
//    carver's walk window allows;
//  - a match has a length above 0, an extension and one of the carver's categories;
//  - it throws nothing but the source's own DeviceError;
//  - the same bytes give the same answer twice.
//
// Input: one byte of flags, a 16-bit distance (used by the far-copy layout),
// then the file's bytes with the signature left out (it is inserted at the
// carver's signature offset).
//   flags & 3     layout: 0 the bytes are the whole source; 1 the source claims
//                 64 GiB and ends early after the bytes; 2 as 1 with 2 MiB of
//                 zeros after the bytes; 3 as 1 with a second copy of the bytes
//                 near the edge of the carver's window (distance from the edge)
//   flags & 4     the bytes are also the read context's window, as an engine chunk
//   flags & 8, 64, 128  which signature (bits 0, 1, 2 of its index, modulo
//                 the carver's number of signatures)
//   flags & 16    reads of bytes the source does not hold throw instead of ending early
//   flags & 32    the file starts at 4 GiB + 512 instead of 0

#include "FuzzSource.hpp"

#include "carve/CarverRegistry.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

#ifndef BRIGHTFOLD_FUZZ_CARVER
#error "BRIGHTFOLD_FUZZ_CARVER names the carver to fuzz"
#endif

using namespace brightfold;
using namespace brightfold::fuzz;

namespace {

constexpr uint64_t kMiB = 0x100000;
constexpr uint64_t kGiB = 0x40000000;
constexpr uint64_t kClaimedSize = 64 * kGiB;    // what the layouts other than 0 claim
constexpr uint64_t kZeroTail = 2 * kMiB;        // layout 2
constexpr uint64_t kFarStart = 4 * kGiB + 512;  // beyond 32 bits, on the sector grid

const FormatCarver& carverUnderTest()
{
    static const FormatCarverPtr carver = [] {
        for (auto& candidate : CarverRegistry::all()) {
            if (candidate->id() == BRIGHTFOLD_FUZZ_CARVER)
                return candidate;
        }
        propertyFailed("the registry has no carver with this id");
    }();
    return *carver;
}

struct Outcome {
    std::optional<CarveMatch> match;
    bool threw; ///< the source's DeviceError left carve()

    bool operator==(const Outcome&) const = default;
};

/// Lower-case letters and digits, in one word or two joined by a dot ("tar.gz").
bool isPlausibleExtension(std::string_view ext)
{
    if (ext.empty() || ext.size() > 8 || ext.front() == '.' || ext.back() == '.' || std::count(ext.begin(), ext.end(), '.') > 1)
        return false;
    return std::all_of(ext.begin(), ext.end(), [](char c) { return c == '.' || std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)); });
}

void checkMatch(const FormatCarver& carver, const std::optional<CarveMatch>& match)
{
    if (!match)
        return;
    if (match->length == 0)
        propertyFailed("a match with length 0");
    if (!isPlausibleExtension(match->ext))
        propertyFailed("a match whose extension is empty or not lower-case letters and digits (two words at most)");
    if (!carver.categories().contains(match->category))
        propertyFailed("a match of a category the carver does not serve", static_cast<unsigned long long>(match->category));
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    const FormatCarver& carver = carverUnderTest();
    const WalkWindow& window = carver.walkWindow();

    InputReader reader({ input, inputSize });
    const uint8_t flags = reader.u8();
    const auto distance = static_cast<int16_t>(reader.u16());
    const unsigned layout = flags & 3;
    const bool useWindow = flags & 4;
    const auto& signature = carver.signatures()[((flags >> 3 & 1) | (flags >> 5 & 6)) % carver.signatures().size()];
    const GapBehaviour gaps = flags & 16 ? GapBehaviour::throws : GapBehaviour::endsEarly;
    const uint64_t start = flags & 32 ? kFarStart : 0;

    // The file: the bytes before the signature, the signature, the rest.
    std::vector<uint8_t> file;
    auto head = reader.take(static_cast<size_t>(carver.signatureOffset()));
    file.insert(file.end(), head.begin(), head.end());
    file.resize(static_cast<size_t>(carver.signatureOffset()), 0);
    file.insert(file.end(), signature.begin(), signature.end());
    file.insert(file.end(), reader.rest().begin(), reader.rest().end());
    const uint64_t n = file.size();

    std::vector<LayoutSource::Run> runs { { start, n, file.data() } };
    uint64_t size = start + kClaimedSize;
    switch (layout) {
    case 0:
        size = start + n;
        break;
    case 2:
        runs.push_back({ start + n, kZeroTail, nullptr });
        break;
    case 3: {
        uint64_t copyAt = distance < 0 ? window.length - std::min<uint64_t>(window.length, static_cast<uint64_t>(-distance)) : window.length + static_cast<uint64_t>(distance);
        copyAt = std::max(copyAt, n);
        runs.push_back({ start + copyAt, n, file.data() });
        break;
    }
    default:
        break;
    }

    auto carveOnce = [&](LayoutSource& source) -> Outcome {
        ReadContext context(std::shared_ptr<ByteSource>(&source, [](ByteSource*) { }));
        if (useWindow)
            context.setWindow(start, file);
        if (gaps == GapBehaviour::endsEarly)
            return { carver.carve(start, context), false };
        try {
            return { carver.carve(start, context), false };
        } catch (const DeviceError&) {
            return { std::nullopt, true };
        }
    };

    LayoutSource source(size, runs, gaps);
    const Outcome outcome = carveOnce(source);
    checkMatch(carver, outcome.match);

    if (source.readCount() > 0) {
        if (source.lowestRead() < start)
            propertyFailed("a read before the file's start", source.lowestRead(), start);
        if (source.furthestRead() - start > window.reach)
            propertyFailed("a read beyond the carver's window", source.furthestRead() - start, window.reach);
    }

    LayoutSource again(size, runs, gaps);
    if (carveOnce(again) != outcome)
        propertyFailed("the same bytes carved twice gave different answers");
    return 0;
}
