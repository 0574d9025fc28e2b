#include "carve/formats/CRWCarver.hpp"

#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x400'0000;     // 64 MiB: a root heap not closed by then is no match
constexpr int64_t kSearchChunk = 0x1'0000;       // 64 KiB: the raw-data tag turns up by chance about that often in raw data
constexpr uint64_t kHeaderBytes = 26;            // "II", u32 header length (26), "HEAPCCDR", u32 version
constexpr uint64_t kRecordBytes = 10;            // u16 tag, u32 data size, u32 data offset (from the heap's start)
constexpr uint16_t kMostRootRecords = 64;        // per root table
constexpr uint16_t kLocationMask = 0xC000;       // top bits of a tag: where the record's data are kept
constexpr uint16_t kDataInHeap = 0x0000;         // ... in the heap, at the record's offset

// The raw data record as it appears in the table: u16le tag 0x2005.
constexpr std::array<uint8_t, 2> kRawDataTag { 0x05, 0x20 };

/// The end of the root table that holds the record at `record` (relative to
/// the file's start), or no value when no table around it passes the checks.
std::optional<uint64_t> tableEndAround(uint64_t at, uint64_t record, ReadContext& context)
{
    const uint64_t heap = at + kHeaderBytes;
    for (uint64_t index = 0; index < kMostRootRecords; ++index) {
        // Table: u16 record count, the records, then the heap's last u32: the table's offset.
        if (record - heap < 2 + kRecordBytes * index)
            return std::nullopt;
        const uint64_t table = record - 2 - kRecordBytes * index;
        auto count = context.u16le(table);
        if (!count || *count <= index || *count > kMostRootRecords)
            continue;
        const uint64_t pointerAt = table + 2 + kRecordBytes * *count;
        if (context.u32le(pointerAt) != table - heap)
            continue;
        bool dataBeforeTable = true;
        for (uint16_t i = 0; i < *count && dataBeforeTable; ++i) {
            auto tag = context.u16le(table + 2 + kRecordBytes * i);
            auto size = context.u32le(table + 4 + kRecordBytes * i);
            auto offset = context.u32le(table + 8 + kRecordBytes * i);
            dataBeforeTable = tag && size && offset && ((*tag & kLocationMask) != kDataInHeap || uint64_t { *offset } + *size <= table - heap);
        }
        if (dataBeforeTable)
            return pointerAt + 4;
    }
    return std::nullopt;
}

}

CRWCarver::CRWCarver()
    : FormatCarver("crw", { FormatCategory::rawPhotos }, { { 0x49, 0x49, 0x1A, 0x00, 0x00, 0x00, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R' } }, 0,
        // a candidate near the window's end: the search's last step, then a whole table and its pointer
        { kWalkWindow, kWalkWindow + uint64_t { kSearchChunk } + 2 + kRecordBytes * kMostRootRecords + 4 })
{
}

std::optional<CarveMatch> CRWCarver::carve(uint64_t at, ReadContext& context) const
{
    const uint64_t searchEnd = std::min(context.size(), at + kWalkWindow);
    for (uint64_t from = at + kHeaderBytes; from < searchEnd;) {
        auto record = context.find(kRawDataTag, from, searchEnd - from, kSearchChunk);
        if (!record)
            return std::nullopt;
        if (auto end = tableEndAround(at, *record, context))
            return CarveMatch { *end - at, "crw", FormatCategory::rawPhotos, CarveConfidence::exact };
        from = *record + 1;
    }
    return std::nullopt;
}

}
