#include "carve/formats/ZIPCarver.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace brightfold {

namespace {

constexpr uint16_t kShortestFirstName = 1;
constexpr uint16_t kLongestFirstName = 511;
constexpr uint64_t kEndRecordSearchRange = 0x20000000; // 512 MiB from the first local header
constexpr int kMaximumEndRecords = 16;                 // end-record signatures examined before giving up
constexpr int kMaximumClassifiedHeaders = 64;          // central directory headers read by classify
constexpr uint32_t kMaximumCheckedMembers = 0x10000;   // local headers compared with the directory, at most
constexpr uint32_t kZip64Offset = 0xFFFFFFFF;          // the offset lives in the ZIP64 extra field
constexpr uint64_t kLocalHeaderBytes = 30;             // without name and extra field

constexpr uint64_t kEndRecordBytes = 22;               // without the comment
constexpr uint64_t kCentralHeaderBytes = 46;           // without name, extra field and comment
// How far classify may read past the end record: the directory headers, each
// with three 16-bit lengths, then the signature of the next.
constexpr uint64_t kDirectoryReach = kMaximumClassifiedHeaders * (kCentralHeaderBytes + 3 * 0xFFFF) + kCentralHeaderBytes;

constexpr std::array<uint8_t, 4> kLocalHeaderSignature { 0x50, 0x4B, 0x03, 0x04 };
constexpr std::array<uint8_t, 4> kCentralHeaderSignature { 0x50, 0x4B, 0x01, 0x02 };
constexpr std::array<uint8_t, 4> kEndRecordSignature { 0x50, 0x4B, 0x05, 0x06 };

/// Compression methods of the ZIP application note accepted in the first local
/// header: stored, deflate, deflate64, bzip2, LZMA, and 93-99 (Zstandard, MP3,
/// XZ, JPEG, WavPack, PPMd, AES encryption marker).
bool isAcceptedMethod(uint16_t method)
{
    return method == 0 || method == 8 || method == 9 || method == 12 || method == 14 || (method >= 93 && method <= 99);
}

bool equalsSignature(const ByteRun& run, const std::array<uint8_t, 4>& signature)
{
    return run.size() == signature.size() && std::equal(signature.begin(), signature.end(), run.begin());
}

/// Whether an end record at `e` points back at a central directory that lies
/// before it, inside the archive starting at `at`, and opens with a central
/// directory header (an empty directory need not).
bool describesDirectory(uint64_t at, uint64_t e, uint32_t cdOffset, uint32_t cdSize, ReadContext& context)
{
    if (e - at < uint64_t { cdOffset } + cdSize)
        return false;
    ByteRun first = context.bytes(at + cdOffset, 4);
    if (first.size() != 4)
        return false;
    return equalsSignature(first, kCentralHeaderSignature) || cdSize == 0;
}

struct MemberRule {
    std::string_view name; ///< a prefix, or the whole name when `whole`
    bool whole;
    const char* ext;
};

constexpr std::array<MemberRule, 4> kMemberRules { {
    { "word/", false, "docx" },
    { "xl/", false, "xlsx" },
    { "ppt/", false, "pptx" },
    { "mimetype", true, "epub" },
} };

/// What a "mimetype" member holds, stored uncompressed as the first member of
/// an EPUB book or an OpenDocument file, and the extension it gives.
struct MimeType {
    std::string_view text;
    const char* ext;
};

constexpr std::array<MimeType, 4> kMimeTypes { {
    { "application/epub+zip", "epub" },
    { "application/vnd.oasis.opendocument.text", "odt" },
    { "application/vnd.oasis.opendocument.spreadsheet", "ods" },
    { "application/vnd.oasis.opendocument.presentation", "odp" },
} };
constexpr uint64_t kLongestMimeType = 64;              // bytes of a "mimetype" member compared, at most

/// The extension that the "mimetype" member named by the central directory
/// header at `header` gives, or no value when its local header (before the
/// directory at `cdStart`) or its stored text cannot be read.
std::optional<std::string_view> extensionOfMimeType(uint64_t archiveStart, uint64_t cdStart, uint64_t header, ReadContext& context)
{
    // Central directory header: u32 local header offset at 42. Local header: u16
    // method at 8, u32 compressed size at 18, u16 name and extra lengths at 26, 28.
    auto localOffset = context.u32le(header + 42);
    if (!localOffset || *localOffset >= cdStart - archiveStart) // members lie before the directory
        return std::nullopt;
    const uint64_t local = archiveStart + *localOffset;
    auto method = context.u16le(local + 8);
    auto size = context.u32le(local + 18);
    auto nameLength = context.u16le(local + 26);
    auto extraLength = context.u16le(local + 28);
    if (!method || *method != 0 || !size || !nameLength || !extraLength)
        return std::nullopt;
    if (*size > kLongestMimeType)
        return "zip"; // longer than any kind named here
    ByteRun text = context.bytes(local + kLocalHeaderBytes + *nameLength + *extraLength, *size);
    if (text.size() != *size)
        return std::nullopt;
    auto known = std::find_if(kMimeTypes.begin(), kMimeTypes.end(), [&](const MimeType& type) { return type.text == text.text(); });
    return known == kMimeTypes.end() ? "zip" : known->ext;
}

}

namespace {

/// Whether every member the central directory lists has its local header where
/// the directory says, with the same name length: a member overwritten by
/// another file leaves the directory intact but not its local header.
bool localHeadersAgree(uint64_t at, uint64_t cdStart, uint64_t cdEnd, ReadContext& context)
{
    uint64_t p = cdStart;
    for (uint32_t member = 0; member < kMaximumCheckedMembers && cdEnd - std::min(cdEnd, p) >= kCentralHeaderBytes; ++member) {
        if (!equalsSignature(context.bytes(p, 4), kCentralHeaderSignature))
            return false;
        // Central directory header: name, extra and comment lengths at 28, 30, 32; local header offset at 42.
        auto nameLength = context.u16le(p + 28);
        auto extraLength = context.u16le(p + 30);
        auto commentLength = context.u16le(p + 32);
        auto localOffset = context.u32le(p + 42);
        if (!nameLength || !extraLength || !commentLength || !localOffset)
            return false;
        if (*localOffset != kZip64Offset) {
            if (at + *localOffset + kLocalHeaderBytes > cdStart || !equalsSignature(context.bytes(at + *localOffset, 4), kLocalHeaderSignature) || context.u16le(at + *localOffset + 26) != *nameLength)
                return false;
        }
        p += kCentralHeaderBytes + *nameLength + *extraLength + *commentLength;
    }
    return true;
}

}

ZIPCarver::ZIPCarver()
    : FormatCarver("zip", { FormatCategory::documents, FormatCategory::archives }, { { kLocalHeaderSignature.begin(), kLocalHeaderSignature.end() } }, 0,
        { kEndRecordSearchRange, kEndRecordSearchRange + ReadContext::kSearchOverrun + kEndRecordBytes + kDirectoryReach })
{
}

std::optional<CarveMatch> ZIPCarver::carve(uint64_t at, ReadContext& context) const
{
    // Local file header: u16 compression method at 8, u16 file name length at 26.
    auto nameLength = context.u16le(at + 26);
    if (!nameLength || *nameLength < kShortestFirstName || *nameLength > kLongestFirstName)
        return std::nullopt;
    auto method = context.u16le(at + 8);
    if (!method || !isAcceptedMethod(*method))
        return std::nullopt;

    uint64_t from = at + kLocalHeaderSignature.size();
    uint64_t searchEnd = std::min(context.size(), at + kEndRecordSearchRange);
    for (int examined = 1;; ++examined) {
        if (from >= searchEnd)
            return std::nullopt;
        auto endRecord = context.find(kEndRecordSignature, from, searchEnd - from, ReadContext::kSearchChunk);
        if (!endRecord)
            return std::nullopt;
        uint64_t e = *endRecord;

        // End of central directory record: u32 directory size at 12, u32 directory
        // offset (from the archive start) at 16, u16 comment length at 20.
        auto cdSize = context.u32le(e + 12);
        auto cdOffset = context.u32le(e + 16);
        auto commentLength = context.u16le(e + 20);
        if (!cdSize || !cdOffset || !commentLength)
            return std::nullopt;

        if (describesDirectory(at, e, *cdOffset, *cdSize, context)) {
            uint64_t end = std::min(e + kEndRecordBytes + *commentLength, context.size());
            auto [ext, category] = classify(at, at + *cdOffset, context);
            const bool proven = localHeadersAgree(at, at + *cdOffset, at + uint64_t { *cdOffset } + *cdSize, context);
            return CarveMatch { end - at, ext, category, proven ? CarveConfidence::exact : CarveConfidence::heuristic };
        }

        // Perhaps the end record of an archive stored inside this one: try the next.
        if (examined >= kMaximumEndRecords)
            return std::nullopt;
        from = e + kEndRecordSignature.size();
    }
}

std::pair<std::string, FormatCategory> ZIPCarver::classify(uint64_t archiveStart, uint64_t cdStart, ReadContext& context)
{
    uint64_t p = cdStart;
    for (int header = 0; header < kMaximumClassifiedHeaders; ++header) {
        if (!equalsSignature(context.bytes(p, 4), kCentralHeaderSignature))
            break;
        // Central directory header: u16 name length at 28, extra length at 30,
        // comment length at 32, the name at 46.
        auto nameLength = context.u16le(p + 28);
        auto extraLength = context.u16le(p + 30);
        auto commentLength = context.u16le(p + 32);
        if (!nameLength || !extraLength || !commentLength)
            break;
        // The rules are plain ASCII, so comparing the raw bytes decides exactly
        // as comparing the name decoded from UTF-8 would: no invalid sequence
        // can turn into, or hide, an ASCII prefix.
        ByteRun nameBytes = context.bytes(p + kCentralHeaderBytes, *nameLength);
        std::string_view name = nameBytes.text();
        for (const auto& rule : kMemberRules) {
            if (!(rule.whole ? name == rule.name : name.starts_with(rule.name)))
                continue;
            // A "mimetype" member names the kind; one that cannot be read keeps "epub".
            std::string_view ext = rule.ext;
            if (name == "mimetype")
                ext = extensionOfMimeType(archiveStart, cdStart, p, context).value_or(rule.ext);
            return { std::string(ext), ext == "zip" ? FormatCategory::archives : FormatCategory::documents };
        }
        p += kCentralHeaderBytes + *nameLength + *extraLength + *commentLength;
    }
    return { "zip", FormatCategory::archives };
}

}
