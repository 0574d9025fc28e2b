#include "carve/formats/RIFFCarver.hpp"

#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kHeaderBytes = 8;    // chunk identifier and chunk size, not counted by the size
constexpr uint32_t kSmallestChunk = 4;  // a chunk holds at least its form type
constexpr uint64_t kLargestFile = 0x1'0000'0008; // the largest 32-bit size, its pad byte and the header
constexpr int kDeepestList = 4;         // LIST chunks inside LIST chunks walked at most this deep
constexpr uint32_t kSmallestWaveFormat = 16; // "fmt ": tag, channels, rate, byte rate, block align, bits
constexpr uint32_t kSmallestAiffCommon = 18; // "COMM": channels, frames, bits, 80-bit rate

struct FormType {
    bool riffKind; ///< after "RIFF" (little-endian size) rather than "FORM" (big-endian size)
    uint32_t type;
    const char* ext;
    FormatCategory category;
};

constexpr std::array<FormType, 5> kFormTypes { {
    { true, fourcc("WAVE"), "wav", FormatCategory::audio },
    { true, fourcc("AVI "), "avi", FormatCategory::video },
    { true, fourcc("WEBP"), "webp", FormatCategory::photos },
    { false, fourcc("AIFF"), "aiff", FormatCategory::audio },
    { false, fourcc("AIFC"), "aiff", FormatCategory::audio },
} };

bool isChunkIdentifier(uint32_t identifier)
{
    for (int shift = 0; shift < 32; shift += 8) {
        uint8_t character = static_cast<uint8_t>(identifier >> shift);
        if (character < 0x20 || character > 0x7E)
            return false;
    }
    return true;
}

/// The chunks of [from, end) in the kind's byte order: each has a printable
/// identifier and a size that, padded to even, stays inside the range; a LIST
/// chunk's own sub-chunks are walked too. False at the first chunk that breaks.
bool walkChunks(uint64_t from, uint64_t end, ByteOrder order, int depth, ReadContext& context)
{
    uint64_t p = from;
    while (end - p >= kHeaderBytes) {
        auto identifier = context.u32be(p); // 4-byte identifier, u32 size
        auto size = context.u32(p + 4, order);
        if (!identifier || !size || !isChunkIdentifier(*identifier))
            return false;
        uint64_t padded = uint64_t { *size } + (*size % 2);
        if (padded > end - p - kHeaderBytes) {
            // The last chunk may leave out its pad byte when the outer size does too.
            if (uint64_t { *size } != end - p - kHeaderBytes)
                return false;
            padded = *size;
        }
        if (*identifier == fourcc("LIST") && depth < kDeepestList) {
            if (*size < kSmallestChunk || !walkChunks(p + kHeaderBytes + 4, p + kHeaderBytes + *size, order, depth + 1, context))
                return false;
        }
        p += kHeaderBytes + padded;
    }
    return p == end;
}

/// Whether the first chunk at `at` (after the form type) is the one that makes
/// the form what it says: a sound format, the AVI header list, a WebP bitstream
/// or a sound description, with plausible fields.
bool hasIdentifyingChunk(uint64_t at, uint64_t end, const FormType& form, ReadContext& context)
{
    auto identifier = context.u32be(at);
    auto size = context.u32(at + 4, form.riffKind ? ByteOrder::little : ByteOrder::big);
    if (!identifier || !size)
        return false;
    const uint64_t body = at + kHeaderBytes;
    switch (form.type) {
    case fourcc("WAVE"): {
        // "fmt ": u16 format tag, u16 channels, u32 sample rate, u32 byte rate, u16 block align.
        if (*identifier != fourcc("fmt ") || *size < kSmallestWaveFormat)
            return false;
        auto tag = context.u16le(body);
        auto channels = context.u16le(body + 2);
        auto rate = context.u32le(body + 4);
        auto blockAlign = context.u16le(body + 12);
        return tag && *tag != 0 && channels && *channels != 0 && rate && *rate != 0 && blockAlign && *blockAlign != 0;
    }
    case fourcc("AVI "): {
        auto listType = context.u32be(body);
        auto header = context.u32be(body + 4);
        return *identifier == fourcc("LIST") && listType == fourcc("hdrl") && header == fourcc("avih");
    }
    case fourcc("WEBP"):
        return *identifier == fourcc("VP8 ") || *identifier == fourcc("VP8L") || *identifier == fourcc("VP8X");
    default: {
        // "COMM" may follow other chunks ("FVER" in AIFF-C): look at the first few.
        uint64_t p = at;
        for (int chunk = 0; chunk < 4 && p < end && end - p >= kHeaderBytes + kSmallestAiffCommon; ++chunk) {
            auto id = context.u32be(p);
            auto length = context.u32be(p + 4);
            if (!id || !length)
                return false;
            if (*id == fourcc("COMM")) {
                auto channels = context.u16be(p + kHeaderBytes); // u16 channels, u32 frames, u16 bits
                auto bits = context.u16be(p + kHeaderBytes + 6);
                return *length >= kSmallestAiffCommon && channels && *channels != 0 && bits && *bits != 0 && *bits <= 64;
            }
            if (!isChunkIdentifier(*id))
                return false;
            p += kHeaderBytes + *length + (*length % 2);
        }
        return false;
    }
    }
}

}

RIFFCarver::RIFFCarver()
    : FormatCarver("riff", { FormatCategory::photos, FormatCategory::video, FormatCategory::audio }, { textSignature("RIFF"), textSignature("FORM") }, 0,
        { kLargestFile, kLargestFile + kHeaderBytes }) // the declared chunk, a chunk header starting just inside
{
}

std::optional<CarveMatch> RIFFCarver::carve(uint64_t at, ReadContext& context) const
{
    // The signature is "RIFF" or "FORM"; anything but "RIFF" is taken as the IFF kind.
    bool riffKind = context.bytes(at, 4).text() == "RIFF";

    // u32 chunk size: little-endian in RIFF, big-endian in IFF; counts the bytes after itself.
    const ByteOrder order = riffKind ? ByteOrder::little : ByteOrder::big;
    auto chunkSize = context.u32(at + 4, order);
    if (!chunkSize || *chunkSize < kSmallestChunk)
        return std::nullopt;

    // Four ASCII characters of form type.
    auto formType = context.u32be(at + 8);
    if (!formType || (*formType & 0x80808080u) != 0)
        return std::nullopt;

    const FormType* row = nullptr;
    for (const auto& candidate : kFormTypes) {
        if (candidate.riffKind == riffKind && candidate.type == *formType)
            row = &candidate;
    }
    // Chunks are padded to an even length; the pad byte belongs to the file.
    uint64_t declaredEnd = at + kHeaderBytes + *chunkSize;
    if (!row || !hasIdentifyingChunk(at + kHeaderBytes + 4, declaredEnd, *row, context))
        return std::nullopt;

    uint64_t total = uint64_t { *chunkSize } + (*chunkSize % 2) + kHeaderBytes;
    // Only a walk of every chunk to the declared end proves the size field: a
    // header followed by other data keeps its declared length as an estimate. A
    // chunk past the source end fails the walk, and the engine cuts it there.
    bool complete = walkChunks(at + kHeaderBytes + 4, declaredEnd, order, 0, context);
    return CarveMatch { total, row->ext, row->category, complete ? CarveConfidence::exact : CarveConfidence::heuristic };
}

}
