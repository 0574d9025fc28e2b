// Fuzzes the read context against plain reference answers computed over the
// same bytes: bytes() and the integer reads, find() and findLast(), with a window
// anywhere over the source (or none) and search steps from 1 byte up. A search
// must also never hold more than one step plus the pattern length at a time.
//
// Input: flags, pattern length, from, limit, step, slack, window start and
// length, an offset and count for the plain reads, the pattern, then the source.

#include "FuzzSource.hpp"

#include "carve/ChunkReader.hpp"
#include "carve/ReadContext.hpp"

#include <algorithm>
#include <optional>

using namespace brightfold;
using namespace brightfold::fuzz;

namespace {

using Bytes = std::span<const uint8_t>;

/// First occurrence starting in [from, from + limit) that lies wholly in `data`.
std::optional<uint64_t> referenceFind(Bytes data, Bytes pattern, uint64_t from, uint64_t limit)
{
    const uint64_t n = data.size();
    const uint64_t m = pattern.size();
    if (m == 0 || from >= n)
        return std::nullopt;
    const uint64_t end = limit > n - from ? n : from + limit;
    for (uint64_t p = from; p < end && m <= n - p; ++p) {
        if (std::equal(pattern.begin(), pattern.end(), data.begin() + static_cast<std::ptrdiff_t>(p)))
            return p;
    }
    return std::nullopt;
}

/// The last link of the chain: the first occurrence in the range, then each one
/// starting within `slack` bytes after the end of the one before.
std::optional<uint64_t> referenceFindLast(Bytes data, Bytes pattern, uint64_t from, uint64_t limit, uint64_t slack)
{
    const uint64_t n = data.size();
    const uint64_t m = pattern.size();
    if (m == 0 || from >= n)
        return std::nullopt;
    const uint64_t overallEnd = limit > n - from ? n : from + limit;
    std::optional<uint64_t> result;
    uint64_t segmentStart = from;
    uint64_t segmentEnd = overallEnd;
    while (segmentStart < segmentEnd) {
        auto hit = referenceFind(data, pattern, segmentStart, segmentEnd - segmentStart);
        if (!hit)
            break;
        result = hit;
        if (m >= overallEnd - *hit)
            break;
        segmentStart = *hit + m;
        segmentEnd = slack > overallEnd - segmentStart ? overallEnd : segmentStart + slack;
    }
    return result;
}

template<typename T>
std::optional<T> referenceInteger(Bytes data, uint64_t offset, ByteOrder order)
{
    if (offset >= data.size() || sizeof(T) > data.size() - offset)
        return std::nullopt;
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        value = static_cast<T>((value << 8) | data[offset + (order == ByteOrder::big ? i : sizeof(T) - 1 - i)]);
    return value;
}

/// A 32-bit field spread over the source and a little beyond its end, or, when
/// `huge` is set, close to the top of the 64-bit range (where sums wrap).
uint64_t position(uint32_t raw, uint64_t n, bool huge)
{
    if (huge)
        return UINT64_MAX - raw % 64;
    return raw % (n + 64);
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    InputReader reader({ input, inputSize });
    const uint8_t flags = reader.u8();
    const size_t patternLength = 1 + reader.u8() % 8;
    const uint32_t rawFrom = reader.u32();
    const uint32_t rawLimit = reader.u32();
    const uint16_t rawStep = reader.u16();
    const uint32_t rawSlack = reader.u32();
    const uint32_t rawWindowStart = reader.u32();
    const uint32_t rawWindowLength = reader.u32();
    const uint32_t rawOffset = reader.u32();
    const int64_t count = static_cast<int64_t>(static_cast<int32_t>(reader.u32()) % 4096);
    const Bytes patternBytes = reader.take(patternLength); // empty when the input ran out
    const std::vector<uint8_t> pattern(patternBytes.begin(), patternBytes.end());
    const Bytes rest = reader.rest();
    const std::vector<uint8_t> data(rest.begin(), rest.end());
    const uint64_t n = data.size();

    const uint64_t from = position(rawFrom, n, flags & 1);
    const uint64_t limit = flags & 2 ? UINT64_MAX - rawLimit % 64 : rawLimit % (n + 64);
    const int64_t step = flags & 4 ? ReadContext::kSearchChunk : 1 + rawStep % 256;
    const uint64_t slack = flags & 8 ? UINT64_MAX - rawSlack % 64 : rawSlack % (n + 64);

    LayoutSource source(n, { { 0, n, data.data() } }, GapBehaviour::endsEarly);
    ReadContext context(std::shared_ptr<ByteSource>(&source, [](ByteSource*) { }));
    uint64_t windowStart = 0;
    uint64_t windowLength = 0;
    if (flags & 16) {
        // The window is a run of the source's own bytes, as an engine chunk is.
        windowStart = rawWindowStart % (n + 1);
        windowLength = std::min<uint64_t>(rawWindowLength % (n + 1), n - windowStart);
        context.setWindow(windowStart, Bytes(data).subspan(windowStart, windowLength));
    }

    // Plain reads.
    const uint64_t offset = position(rawOffset, n, flags & 32);
    const uint64_t readsBefore = source.readCount();
    ByteRun run = context.bytes(offset, count);
    if (count < 1 || offset >= n) {
        if (!run.empty() || source.readCount() != readsBefore)
            propertyFailed("bytes() read or returned something for an empty request", offset, static_cast<uint64_t>(count));
    } else {
        uint64_t expected = std::min<uint64_t>(static_cast<uint64_t>(count), n - offset);
        if (run.size() != expected || !std::equal(run.begin(), run.end(), data.begin() + static_cast<std::ptrdiff_t>(offset)))
            propertyFailed("bytes() returned other bytes than the source holds", offset, static_cast<uint64_t>(count));
        bool insideWindow = offset >= windowStart && offset - windowStart <= windowLength && expected <= windowLength - (offset - windowStart);
        if (insideWindow && source.readCount() != readsBefore)
            propertyFailed("bytes() went to the source for a run inside the window", offset, expected);
    }
    for (ByteOrder order : { ByteOrder::little, ByteOrder::big }) {
        const bool bigEndian = order == ByteOrder::big; // for the failure message
        if (context.byte(offset) != referenceInteger<uint8_t>(data, offset, order))
            propertyFailed("byte() differs from the source", offset);
        if (context.u16(offset, order) != referenceInteger<uint16_t>(data, offset, order))
            propertyFailed("u16() differs from the source", offset, bigEndian);
        if (context.u32(offset, order) != referenceInteger<uint32_t>(data, offset, order))
            propertyFailed("u32() differs from the source", offset, bigEndian);
        if (context.u64(offset, order) != referenceInteger<uint64_t>(data, offset, order))
            propertyFailed("u64() differs from the source", offset, bigEndian);
    }

    // Searches.
    source.forgetReads();
    const uint64_t maximumPiece = static_cast<uint64_t>(step) + pattern.size() - 1;
    auto found = context.find(pattern, from, limit, step);
    if (found != referenceFind(data, pattern, from, limit))
        propertyFailed("find() differs from a plain search", found.value_or(UINT64_MAX), referenceFind(data, pattern, from, limit).value_or(UINT64_MAX));
    if (source.largestRead() > maximumPiece)
        propertyFailed("find() read more than one step plus the pattern at once", source.largestRead(), maximumPiece);

    source.forgetReads();
    auto last = context.findLast(pattern, from, limit, slack);
    auto expectedLast = referenceFindLast(data, pattern, from, limit, slack);
    if (last != expectedLast)
        propertyFailed("findLast() differs from following the chain plainly", last.value_or(UINT64_MAX), expectedLast.value_or(UINT64_MAX));
    if (source.largestRead() > std::max<uint64_t>(maximumPiece, ReadContext::kSearchChunk + pattern.size() - 1))
        propertyFailed("findLast() read more than one step plus the pattern at once", source.largestRead());

    // A search that the first one may have answered in part.
    const uint64_t secondFrom = position(rawWindowStart ^ rawOffset, n, false);
    if (context.find(pattern, secondFrom, limit, step) != referenceFind(data, pattern, secondFrom, limit))
        propertyFailed("a remembered find() differs from a plain search", secondFrom);

    // Through the chunks a scan holds: chunk sizes from one byte up, the scan anywhere.
    if (n > 0) {
        ReadContext scanning(std::shared_ptr<ByteSource>(&source, [](ByteSource*) { }));
        ChunkReader chunks(source, 1 + rawWindowLength % 4096, 1 + flags % 5);
        scanning.readThrough(&chunks);
        chunks.take(windowStart % n);
        scanning.setWindow(chunks.heldStart(), chunks.held());
        ByteRun through = scanning.bytes(offset, count);
        if (count >= 1 && offset < n) {
            uint64_t expected = std::min<uint64_t>(static_cast<uint64_t>(count), n - offset);
            if (through.size() != expected || !std::equal(through.begin(), through.end(), data.begin() + static_cast<std::ptrdiff_t>(offset)))
                propertyFailed("bytes() through the chunks differs from the source", offset, static_cast<uint64_t>(count));
        }
        if (scanning.find(pattern, from, limit, step) != referenceFind(data, pattern, from, limit))
            propertyFailed("find() through the chunks differs from a plain search", from);
    }
    return 0;
}
