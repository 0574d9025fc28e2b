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

/// The search for a following file during one carve. A search from `after` + 8
/// to some end meets the same occurrences of "ftyp", in the same order, whatever
/// that end is; only how far it gets depends on it. So the walk keeps one search
/// and extends it box by box: every byte of the file is searched once, and each
/// answer is the one a fresh search from `after` + 8 to that box's end gives.
class FollowingFileSearch {
public:
    explicit FollowingFileSearch(uint64_t after)
        : m_after(after)
        , m_position(after + 8)
        , m_clearUntil(after + 8)
    {
    }

    /// The first accepted start of another file below `end`.
    std::optional<uint64_t> before(uint64_t end, ReadContext& context)
    {
        while (end > 8 && m_position < end - 8) {
            const uint64_t from = std::max(m_position, m_clearUntil);
            if (from >= end)
                return std::nullopt;
            // Steps of at most 1 MiB, and never more than the range: find() reads a whole step
            // even past the range's end, which would cost 1 MiB for every small box.
            const int64_t step = static_cast<int64_t>(std::min<uint64_t>(ReadContext::kSearchChunk, end - from));
            auto hit = context.find(kFileTypeBox, from, end - from, step);
            if (!hit) {
                m_clearUntil = end;
                return std::nullopt;
            }
            m_clearUntil = *hit;
            const uint64_t candidate = *hit - 4; // the box's size field; hit >= after + 8
            if (candidate > m_after && candidate % kFileAlignment == 0 && fileTypeBrand(candidate, context))
                return candidate;
            m_position = *hit + 4;
            m_clearUntil = m_position;
        }
        return std::nullopt;
    }

private:
    const uint64_t m_after;
    uint64_t m_position;   // where the search goes on: every earlier occurrence was rejected
    uint64_t m_clearUntil; // no occurrence starts in [m_position, m_clearUntil)
};

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
        ++boxesWalked;
        pos += boxLength;
    }
    if (boxesWalked < 2 || !sawPayload)
        return std::nullopt;
    return matchEndingAt(pos, CarveConfidence::exact);
}

}
