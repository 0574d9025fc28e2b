#include "carve/formats/ISOBMFFCarver.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace brightfold {

namespace {

constexpr uint32_t kSmallestFileTypeBox = 12;       // bytes: header and major brand
constexpr uint32_t kLargestFileTypeBox = 4096;      // bytes: room for about a thousand compatible brands
constexpr uint64_t kWalkWindow = 0x8'0000'0000;     // 32 GiB from the start, the longest file reported
constexpr uint64_t kFileAlignment = 512;            // a following file starts on a sector boundary
constexpr uint64_t kBoxHeaderBytes = 8;             // u32 size, 4-byte type
constexpr uint32_t kSmallestBoxSize = 8;            // a 32-bit size other than 0 and 1 covers at least the header
constexpr uint64_t kSmallestLargeSize = 16;         // the header with its 64-bit size
constexpr uint64_t kBrandOffset = 8;                // the major brand follows the "ftyp" box header
constexpr int kDeepestSampleTable = 5;              // moov, trak, mdia, minf, stbl
constexpr uint32_t kLargestChunkCount = 0x1000000;  // chunk offsets checked in one table, at most
constexpr uint32_t kLargestItemCount = 0x10000;     // items located by one "iloc", at most

constexpr std::array<uint8_t, 4> kFileTypeBox { 'f', 't', 'y', 'p' };
/// The box types that may stand at the top level of a carved file.
constexpr bool isKnownBox(uint32_t type)
{
    switch (type) {
    case fourcc("ftyp"): case fourcc("styp"): case fourcc("moov"): case fourcc("mdat"): case fourcc("free"):
    case fourcc("skip"): case fourcc("wide"): case fourcc("pnot"): case fourcc("udta"): case fourcc("meta"):
    case fourcc("moof"): case fourcc("mfra"): case fourcc("sidx"): case fourcc("ssix"): case fourcc("prft"):
    case fourcc("pdin"): case fourcc("emsg"): case fourcc("uuid"): case fourcc("jP  "): case fourcc("mfro"):
        return true;
    default:
        return false;
    }
}

/// A file must hold at least one of these: the movie, media data, item metadata or a movie fragment.
constexpr bool isPayloadBox(uint32_t type)
{
    return type == fourcc("moov") || type == fourcc("mdat") || type == fourcc("meta") || type == fourcc("moof");
}

bool isPrintable(uint8_t value)
{
    return value >= 0x20 && value <= 0x7E;
}

/// The major brand of an "ftyp" box at `at` when the box has a plausible size
/// and the brand is four printable bytes; no value otherwise.
std::optional<std::string> fileTypeBrand(uint64_t at, ReadContext& context)
{
    auto size = context.u32be(at); // u32 box size, "ftyp", 4-byte major brand
    if (!size || *size < kSmallestFileTypeBox || *size > kLargestFileTypeBox)
        return std::nullopt;
    ByteRun brand = context.bytes(at + kBrandOffset, 4);
    if (brand.size() != 4 || !std::all_of(brand.begin(), brand.end(), isPrintable))
        return std::nullopt;
    return std::string(brand.text());
}

/// The brand without leading and trailing spaces, in lower case ("M4A " gives "m4a").
std::string normalisedBrand(std::string_view brand)
{
    auto first = brand.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    brand = brand.substr(first, brand.find_last_not_of(' ') - first + 1);
    std::string lower(brand);
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return lower;
}

/// The search for a following file during one carve. A following file starts on
/// the 512-byte grid with an "ftyp" box, so only the grid's starts are looked at
/// (findOnGrid) and the file's bytes are searched once, box by box, as the walk
/// extends the range. Each answer is the one a plain search from `after` + 8 to
/// that box's end gives: occurrence after occurrence of "ftyp", each search
/// starting 4 bytes past the one before and only while that start lies more than
/// 8 bytes before the end, the first that begins an acceptable file winning.
class FollowingFileSearch {
public:
    explicit FollowingFileSearch(uint64_t after)
        : m_after(after)
        , m_next(firstOnGrid(after + 8))
    {
    }

    /// The first accepted start of another file below `end`.
    std::optional<uint64_t> before(uint64_t end, ReadContext& context)
    {
        if (end <= 16 || m_after >= end - 16)
            return std::nullopt; // no search fits
        while (m_next < end) {
            const int64_t step = static_cast<int64_t>(std::min<uint64_t>(ReadContext::kSearchChunk, end - m_next));
            auto hit = context.findOnGrid(kFileTypeBox, m_next, end - m_next, step, kFileAlignment);
            if (!hit) {
                m_next = firstOnGrid(end);
                return std::nullopt;
            }
            // A plain search would not reach this one when an occurrence just before it
            // left less than 8 bytes before the end; a longer range may.
            if (occurrenceNear(*hit, end, context))
                return std::nullopt;
            m_next = *hit + kFileAlignment;
            if (fileTypeBrand(*hit - 4, context))
                return *hit - 4;
        }
        return std::nullopt;
    }

private:
    /// The first "ftyp" position at or after `offset` whose box starts on the grid.
    static uint64_t firstOnGrid(uint64_t offset)
    {
        const uint64_t phase = 4 % kFileAlignment;
        return offset + (phase + kFileAlignment - offset % kFileAlignment) % kFileAlignment;
    }

    /// Whether an occurrence of "ftyp" begins before `hit`, at or after `after` + 8,
    /// within 12 bytes of `end`: the search for `hit` would then start too late.
    bool occurrenceNear(uint64_t hit, uint64_t end, ReadContext& context) const
    {
        const uint64_t from = std::max(m_after + 8, end - std::min<uint64_t>(end, 12));
        if (from + kFileTypeBox.size() > hit)
            return false;
        ByteRun before = context.bytes(from, static_cast<int64_t>(hit - from));
        return findBytes(before.span(), kFileTypeBox) < before.size();
    }

    const uint64_t m_after;
    uint64_t m_next; // the next grid position to look at: every earlier one was rejected
};

/// The payload of one "mdat" box of the file, as absolute offsets.
struct MediaRange {
    uint64_t from;
    uint64_t to;
};

bool insideMedia(uint64_t from, uint64_t length, const std::vector<MediaRange>& media)
{
    return std::any_of(media.begin(), media.end(), [&](const MediaRange& range) {
        return from >= range.from && from < range.to && length <= range.to - from;
    });
}

/// An unsigned field of 0, 4 or 8 bytes (the iloc sizes); 0 bytes read as 0.
std::optional<uint64_t> sizedField(uint64_t at, unsigned bytes, ReadContext& context)
{
    if (bytes == 0)
        return 0;
    if (bytes == 4) {
        auto value = context.u32be(at);
        return value ? std::optional<uint64_t>(*value) : std::nullopt;
    }
    return bytes == 8 ? context.u64be(at) : std::nullopt;
}

/// Whether every item extent that an "iloc" box at `at` places in the file
/// (construction method 0, offsets from the file's first byte) lies inside one
/// of the file's own media data boxes.
bool itemLocationsInside(uint64_t at, uint64_t end, uint64_t fileStart, const std::vector<MediaRange>& media, ReadContext& context)
{
    // u8 version, u24 flags, then nibbles: offset size, length size, base offset size, index size.
    auto version = context.byte(at);
    auto sizes = context.u16be(at + 4);
    if (!version || *version > 2 || !sizes)
        return false;
    const unsigned offsetSize = *sizes >> 12, lengthSize = (*sizes >> 8) & 0xF, baseSize = (*sizes >> 4) & 0xF;
    const unsigned indexSize = *version == 0 ? 0 : *sizes & 0xF;
    const unsigned idSize = *version == 2 ? 4 : 2;
    uint64_t p = at + 6;
    std::optional<uint32_t> items = context.u32be(p);
    if (idSize == 2) {
        auto shortCount = context.u16be(p);
        items = shortCount ? std::optional<uint32_t>(*shortCount) : std::nullopt;
    }
    if (!items || *items > kLargestItemCount)
        return false;
    p += idSize;
    for (uint32_t item = 0; item < *items; ++item) {
        p += idSize; // item ID
        unsigned method = 0;
        if (*version != 0) {
            auto field = context.u16be(p); // 12 reserved bits, 4-bit construction method
            if (!field)
                return false;
            method = *field & 0xF;
            p += 2;
        }
        auto base = sizedField(p + 2, baseSize, context); // after u16 data reference index
        auto extents = context.u16be(p + 2 + baseSize);
        if (!base || !extents)
            return false;
        p += 4 + baseSize;
        for (uint16_t extent = 0; extent < *extents; ++extent) {
            auto offset = sizedField(p + indexSize, offsetSize, context);
            auto length = sizedField(p + indexSize + offsetSize, lengthSize, context);
            if (!offset || !length || p >= end)
                return false;
            p += indexSize + offsetSize + lengthSize;
            if (method == 0 && !insideMedia(fileStart + *base + *offset, *length, media))
                return false;
        }
    }
    return p <= end;
}

/// Walks the boxes of [from, to) down to the sample tables and checks that every
/// chunk offset ("stco", "co64") and item location ("iloc") points into one of
/// the file's own media data boxes. False when a box does not fit its parent.
bool mediaOffsetsInside(uint64_t from, uint64_t to, uint64_t fileStart, const std::vector<MediaRange>& media, int depth, ReadContext& context)
{
    uint64_t p = from;
    while (to - p >= kBoxHeaderBytes) {
        auto size = context.u32be(p);
        auto type = context.u32be(p + 4);
        if (!size || !type)
            return false;
        uint64_t header = kBoxHeaderBytes;
        uint64_t length = *size == 0 ? to - p : *size;
        if (*size == 1) {
            auto largeSize = context.u64be(p + 8);
            if (!largeSize)
                return false;
            header = kSmallestLargeSize;
            length = *largeSize;
        }
        if (length < header || length > to - p)
            return false;
        const uint64_t body = p + header;
        switch (*type) {
        case fourcc("moov"):
        case fourcc("trak"):
        case fourcc("mdia"):
        case fourcc("minf"):
        case fourcc("stbl"):
            if (depth < kDeepestSampleTable && !mediaOffsetsInside(body, p + length, fileStart, media, depth + 1, context))
                return false;
            break;
        case fourcc("meta"): // a full box: version and flags before the children
            if (depth == 0 && !mediaOffsetsInside(body + 4, p + length, fileStart, media, depth + 1, context))
                return false;
            break;
        case fourcc("iloc"):
            if (!itemLocationsInside(body, p + length, fileStart, media, context))
                return false;
            break;
        case fourcc("stco"):
        case fourcc("co64"): {
            // u8 version, u24 flags, u32 entry count, then 32- or 64-bit offsets from the file's start.
            const uint64_t entrySize = *type == fourcc("stco") ? 4 : 8;
            auto count = context.u32be(body + 4);
            if (!count || *count > kLargestChunkCount || uint64_t { *count } * entrySize > length - header - 8)
                return false;
            ByteRun entries = context.bytes(body + 8, static_cast<int64_t>(*count * entrySize));
            if (entries.size() != *count * entrySize)
                return false;
            for (uint64_t index = 0; index < *count; ++index) {
                uint64_t offset = 0;
                for (uint64_t byte = 0; byte < entrySize; ++byte)
                    offset = (offset << 8) | entries[index * entrySize + byte];
                if (!insideMedia(fileStart + offset, 1, media))
                    return false;
            }
            break;
        }
        default:
            break;
        }
        p += length;
    }
    return true;
}

struct BrandRule {
    std::vector<std::string_view> brands; // compared whole
    std::string_view prefix;              // or, when not empty, compared with the brand's start
    std::string ext;
    FormatCategory category;
};

const std::vector<BrandRule>& brandRules()
{
    static const std::vector<BrandRule> rules {
        { { "qt" }, {}, "mov", FormatCategory::video },
        { { "m4a", "m4b" }, {}, "m4a", FormatCategory::audio },
        { { "heic", "heix", "hevc", "hevx", "mif1", "msf1" }, {}, "heic", FormatCategory::photos },
        { { "avif", "avis" }, {}, "avif", FormatCategory::photos },
        { { "crx" }, {}, "cr3", FormatCategory::rawPhotos },
        { { "m4v" }, {}, "m4v", FormatCategory::video },
        { {}, "3g", "3gp", FormatCategory::video },
    };
    return rules;
}

}

ISOBMFFCarver::ISOBMFFCarver()
    : FormatCarver("isobmff", { FormatCategory::photos, FormatCategory::rawPhotos, FormatCategory::video, FormatCategory::audio }, { textSignature("ftyp") }, 4,
        { kWalkWindow, kWalkWindow + ReadContext::kSearchOverrun + kSmallestLargeSize }) // a box header, the search for a following file
{
}

std::pair<std::string, FormatCategory> ISOBMFFCarver::ext(std::string_view brand)
{
    for (const auto& rule : brandRules()) {
        bool matches = rule.prefix.empty() ? std::find(rule.brands.begin(), rule.brands.end(), brand) != rule.brands.end()
                                           : brand.starts_with(rule.prefix);
        if (matches)
            return { rule.ext, rule.category };
    }
    return { "mp4", FormatCategory::video };
}

std::optional<uint64_t> ISOBMFFCarver::nextFileStart(uint64_t after, uint64_t before, ReadContext& context)
{
    return FollowingFileSearch(after).before(before, context);
}

std::optional<CarveMatch> ISOBMFFCarver::carve(uint64_t at, ReadContext& context) const
{
    auto rawBrand = fileTypeBrand(at, context);
    if (!rawBrand)
        return std::nullopt;
    // Not a structured binding: clang before 16 cannot capture one in a lambda.
    const auto extAndCategory = ISOBMFFCarver::ext(normalisedBrand(*rawBrand));
    auto matchEndingAt = [&](uint64_t end, CarveConfidence confidence) {
        return CarveMatch { end - at, extAndCategory.first, extAndCategory.second, confidence };
    };

    // The brand was read, so at < size; `pos` never passes `limit`, and a box's
    // length is compared with what is left before `limit` before it is added.
    const uint64_t limit = at + std::min(context.size() - at, kWalkWindow);
    uint64_t pos = at; // the "ftyp" box is the first box walked
    int boxesWalked = 0;
    bool sawPayload = false;
    std::vector<MediaRange> media;
    std::optional<std::pair<uint64_t, uint64_t>> index; // the "moov" box, or else "meta"
    bool indexIsMovie = false;
    FollowingFileSearch following(at);
    while (limit - pos >= kBoxHeaderBytes) {
        auto size = context.u32be(pos); // u32 size, 4-byte type, u64 largesize when size is 1
        if (!size)
            break;
        auto type = context.u32be(pos + 4);
        if (!type || !isKnownBox(*type))
            break;
        uint64_t boxLength = *size;
        if (*size == 1) {
            auto largeSize = context.u64be(pos + 8);
            if (!largeSize || *largeSize < kSmallestLargeSize)
                break;
            boxLength = *largeSize;
        } else if (*size < kSmallestBoxSize) {
            break; // 0 would mean "to the end of the file", which a carve cannot know
        }
        if (isPayloadBox(*type))
            sawPayload = true;

        if (boxLength > limit - pos) {
            if (!sawPayload)
                return std::nullopt;
            return matchEndingAt(following.before(limit, context).value_or(limit), CarveConfidence::heuristic);
        }
        if (auto nextFile = following.before(pos + boxLength, context)) {
            if (!sawPayload)
                return std::nullopt;
            return matchEndingAt(*nextFile, CarveConfidence::heuristic);
        }
        const uint64_t header = *size == 1 ? kSmallestLargeSize : kBoxHeaderBytes;
        if (*type == fourcc("mdat"))
            media.push_back({ pos + header, pos + boxLength });
        if (*type == fourcc("moov") || (*type == fourcc("meta") && !indexIsMovie)) {
            index = { pos, pos + boxLength };
            indexIsMovie = *type == fourcc("moov");
        }
        ++boxesWalked;
        pos += boxLength;
    }
    if (boxesWalked < 2 || !sawPayload)
        return std::nullopt;
    // The walk proves the end only with an index whose offsets all point into
    // this file's own media data: a movie without one, or with chunks elsewhere,
    // is another file's bytes taken for this one's.
    const bool proven = index && mediaOffsetsInside(index->first, index->second, at, media, 0, context);
    return matchEndingAt(pos, proven ? CarveConfidence::exact : CarveConfidence::heuristic);
}

}
