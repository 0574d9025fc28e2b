#include "carve/formats/RIFFCarver.hpp"

#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kHeaderBytes = 8;    // chunk identifier and chunk size, not counted by the size
constexpr uint32_t kSmallestChunk = 4;  // a chunk holds at least its form type

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

}

RIFFCarver::RIFFCarver()
    : FormatCarver("riff", { FormatCategory::photos, FormatCategory::video, FormatCategory::audio }, { textSignature("RIFF"), textSignature("FORM") }, 0,
        { kHeaderBytes + 4, kHeaderBytes + 4 }) // identifier, size and form type
{
}

std::optional<CarveMatch> RIFFCarver::carve(uint64_t at, ReadContext& context) const
{
    // The signature is "RIFF" or "FORM"; anything but "RIFF" is taken as the IFF kind.
    bool riffKind = context.bytes(at, 4).text() == "RIFF";

    // u32 chunk size: little-endian in RIFF, big-endian in IFF; counts the bytes after itself.
    auto chunkSize = context.u32(at + 4, riffKind ? ByteOrder::little : ByteOrder::big);
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
    if (!row)
        return std::nullopt;

    // Chunks are padded to an even length; the pad byte belongs to the file.
    uint64_t total = uint64_t { *chunkSize } + (*chunkSize % 2) + kHeaderBytes;
    return CarveMatch { total, row->ext, row->category, CarveConfidence::exact };
}

}
