#include "carve/formats/TIFFCarver.hpp"

#include <algorithm>
#include <array>
#include <deque>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace brightfold {

namespace {

// Offsets inside a file are relative to its header; they are 32-bit values and
// every sum of two of them stays far below 2^64.
constexpr uint64_t kOffsetBound = 0x2000'0000;     // 512 MiB: no directory at or past it is visited, no extent past it counted
constexpr uint64_t kHeaderBytes = 8;                // byte order, 42, first directory offset
constexpr uint64_t kEntryBytes = 12;                // u16 tag, u16 type, u32 count, 4-byte value or value offset
constexpr uint16_t kMostEntries = 1024;             // per directory
constexpr int kMostDirectories = 64;                // per file
constexpr uint64_t kMostListItems = 0x10000;        // strip and tile offsets and byte counts
constexpr uint64_t kMostSubDirectories = 16;        // SubIFDs
constexpr uint64_t kMakeBytes = 32;                 // read of the Make and Model texts, at most
constexpr uint64_t kSmallestExtent = 201;           // bytes; anything smaller is not a real image file

/// Size in bytes of one value of each field type, by type code; 0 marks a type that is not valid.
constexpr std::array<uint8_t, 19> kTypeSizes {
    0,
    1, // BYTE
    1, // ASCII
    2, // SHORT
    4, // LONG
    8, // RATIONAL
    1, // SBYTE
    1, // UNDEFINED
    2, // SSHORT
    4, // SLONG
    8, // SRATIONAL
    4, // FLOAT
    8, // DOUBLE
    4, // IFD
    0,
    0,
    8, // LONG8
    8, // SLONG8
    8, // IFD8
};
constexpr uint16_t kShortType = 3;

enum Tag : uint16_t {
    panasonicPreview = 0x002E, // JpgFromRaw, in Panasonic's directory
    make = 0x010F,
    model = 0x0110,
    stripOffsets = 0x0111,
    stripByteCounts = 0x0117,
    panasonicRawData = 0x0118, // RawDataOffset, in Panasonic's directory
    tileOffsets = 0x0144,
    tileByteCounts = 0x0145,
    subDirectories = 0x014A,
    jpegOffset = 0x0201,
    jpegLength = 0x0202,
    exifDirectory = 0x8769,
    gpsDirectory = 0x8825,
    interoperabilityDirectory = 0xA005,
    dngVersion = 0xC612,
};

bool isValidType(uint16_t type)
{
    return type < kTypeSizes.size() && kTypeSizes[type] != 0;
}

/// Whether the Make text, upper-cased, begins with `prefix` (upper-case ASCII).
/// Besides ASCII letters only three lower-case characters upper-case to text that
/// begins with a prefix letter: dotless i (I), long s (S), and y with ring above
/// (Y and a combining ring, so it can only stand for a prefix's last letter).
/// Every other byte, invalid UTF-8 included, matches nothing.
bool makeBeginsWith(std::string_view make, std::string_view prefix)
{
    struct Fold {
        std::string_view lower;
        char upper;
        bool addsMark;
    };
    static constexpr Fold kFolds[] { { "\u0131", 'I', false }, { "\u017F", 'S', false }, { "\u1E99", 'Y', true } };
    for (size_t i = 0; i < prefix.size(); ++i) {
        const char letter = prefix[i];
        if (!make.empty() && (make.front() == letter || make.front() == letter - 'A' + 'a')) {
            make.remove_prefix(1);
            continue;
        }
        const bool last = i + 1 == prefix.size();
        auto fold = std::find_if(std::begin(kFolds), std::end(kFolds),
            [&](const Fold& f) { return f.upper == letter && (last || !f.addsMark) && make.starts_with(f.lower); });
        if (fold == std::end(kFolds))
            return false;
        make.remove_prefix(fold->lower.size());
    }
    return true;
}

/// Canon's cameras write CR2 files, whose Make reads "Canon". The prefix is built
/// at run time from the lower-case name, so this is the only place it is spelt.
constexpr std::string_view kCanonMakerName = "canon";

const std::string& canonMakePrefix()
{
    static const std::string prefix = [] {
        std::string upper(kCanonMakerName);
        std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(c - 'a' + 'A'); });
        return upper;
    }();
    return prefix;
}

/// The header variants: the classic TIFF header, and the raw formats that keep
/// TIFF's directories behind a magic number of their own.
enum class Flavour {
    tiff,      ///< "II" 2A 00, "MM" 00 2A
    olympus,   ///< "IIRO", "IIRS", "MMOR": ORF
    panasonic, ///< "IIU" 00: RW2, and RWL from Leica
};

/// One directory entry as read from the file.
struct Entry {
    uint64_t position;                 // absolute offset of the entry
    uint16_t tag;
    uint16_t type;
    uint32_t count;                    // number of values
    uint64_t byteCount;                // count × size of the type
    std::optional<uint32_t> valueOffset; // only when byteCount > 4
};

/// The state of one walk over one file's directory graph.
class DirectoryWalk {
public:
    DirectoryWalk(ReadContext& context, uint64_t start, ByteOrder order, Flavour flavour)
        : m_context(context)
        , m_start(start)
        , m_order(order)
        , m_flavour(flavour)
    {
    }

    /// Walks from the first directory; false when the file is rejected outright
    /// (its first directory is unreadable or its first entry has an invalid type).
    bool walk(uint32_t firstDirectory)
    {
        m_queue.push_back(firstDirectory);
        while (m_directoryCount < kMostDirectories) {
            auto offset = takeNextDirectory();
            if (!offset)
                break;
            if (!readDirectory(*offset))
                return false;
        }
        return true;
    }

    uint64_t maxEnd() const { return m_maxEnd; }
    /// Whether the furthest byte is the end of image data (a strip, tile or preview) rather than of a directory or a value.
    bool endsWithImageData() const { return m_maxEnd == m_imageDataEnd; }
    bool sawImageData() const { return m_sawImageData; }
    bool isDNG() const { return m_isDNG; }
    const std::string& make() const { return m_make; }
    const std::string& model() const { return m_model; }

private:
    std::optional<uint32_t> takeNextDirectory()
    {
        while (!m_queue.empty()) {
            uint32_t offset = m_queue.front();
            m_queue.pop_front();
            if (offset < kOffsetBound && m_visited.insert(offset).second)
                return offset;
        }
        return std::nullopt;
    }

    void enqueue(uint64_t offset)
    {
        if (offset < kOffsetBound)
            m_queue.push_back(static_cast<uint32_t>(offset));
    }

    void extendTo(uint64_t end) { m_maxEnd = std::max(m_maxEnd, end); }

    void countImageData(uint64_t offset, uint64_t length)
    {
        uint64_t end = offset + length; // an offset below 2^32, a length below 2^36
        if (end > kOffsetBound)
            return;
        extendTo(end);
        m_imageDataEnd = std::max(m_imageDataEnd, end);
        m_sawImageData = true;
    }

    /// Reads the directory at `offset`; false only when the first directory of the file rejects it.
    bool readDirectory(uint32_t offset)
    {
        const bool isFirst = m_directoryCount == 0;
        const uint64_t directory = m_start + offset;
        auto entryCount = m_context.u16(directory, m_order); // u16 entry count, the entries, u32 next offset
        if (!entryCount || *entryCount < 1 || *entryCount > kMostEntries) {
            if (isFirst)
                return false;
            ++m_directoryCount; // a skipped directory still counts toward the limit
            return true;
        }
        ++m_directoryCount;
        const uint64_t entriesBytes = kEntryBytes * *entryCount;
        extendTo(uint64_t { offset } + 2 + entriesBytes + 4);

        std::vector<uint64_t> stripOffsetList, stripByteCountList, tileOffsetList, tileByteCountList;
        std::optional<uint64_t> previewOffset, previewLength, rawDataOffset;
        for (uint16_t index = 0; index < *entryCount; ++index) {
            const uint64_t position = directory + 2 + kEntryBytes * index;
            auto tag = m_context.u16(position, m_order);
            auto type = m_context.u16(position + 2, m_order);
            auto count = m_context.u32(position + 4, m_order);
            if (!tag || !type || !count)
                break; // a truncated entry ends the directory
            if (!isValidType(*type)) {
                if (isFirst && index == 0)
                    return false;
                continue;
            }
            Entry entry { position, *tag, *type, *count, uint64_t { *count } * kTypeSizes[*type], std::nullopt };
            if (entry.byteCount > 4) {
                entry.valueOffset = m_context.u32(position + 8, m_order);
                if (!entry.valueOffset)
                    continue;
                const uint64_t valueEnd = *entry.valueOffset + entry.byteCount; // below 2^36
                if (valueEnd <= kOffsetBound)
                    extendTo(valueEnd);
            }

            switch (entry.tag) {
            case Tag::make:
                m_make = readText(entry);
                break;
            case Tag::model:
                m_model = readText(entry);
                break;
            case Tag::stripOffsets:
                stripOffsetList = longArray(entry, kMostListItems);
                break;
            case Tag::stripByteCounts:
                stripByteCountList = longArray(entry, kMostListItems);
                break;
            case Tag::tileOffsets:
                tileOffsetList = longArray(entry, kMostListItems);
                break;
            case Tag::tileByteCounts:
                tileByteCountList = longArray(entry, kMostListItems);
                break;
            case Tag::subDirectories:
                for (uint64_t item : longArray(entry, kMostSubDirectories))
                    enqueue(item);
                break;
            case Tag::jpegOffset:
                previewOffset = scalarValue(entry);
                if (!previewOffset && entry.valueOffset)
                    previewOffset = *entry.valueOffset;
                break;
            case Tag::jpegLength:
                previewLength = scalarValue(entry);
                break;
            case Tag::exifDirectory:
            case Tag::gpsDirectory:
            case Tag::interoperabilityDirectory:
                if (auto pointer = scalarValue(entry))
                    enqueue(*pointer);
                break;
            case Tag::dngVersion:
                m_isDNG = true;
                break;
            case Tag::panasonicRawData:
                if (m_flavour == Flavour::panasonic)
                    rawDataOffset = scalarValue(entry);
                break;
            case Tag::panasonicPreview:
                if (m_flavour == Flavour::panasonic && entry.valueOffset)
                    countImageData(*entry.valueOffset, entry.byteCount);
                break;
            default:
                break;
            }
        }

        // Only complete pairs count; an end past the bound is passed over, the next pair still counts.
        for (size_t i = 0; i < std::min(stripOffsetList.size(), stripByteCountList.size()); ++i)
            countImageData(stripOffsetList[i], stripByteCountList[i]);
        // Panasonic's raw data starts at RawDataOffset; its StripOffsets may hold
        // anything (some writers leave FFFFFFFF there), its StripByteCounts the size.
        if (rawDataOffset && !stripByteCountList.empty())
            countImageData(*rawDataOffset, stripByteCountList.front());
        for (size_t i = 0; i < std::min(tileOffsetList.size(), tileByteCountList.size()); ++i)
            countImageData(tileOffsetList[i], tileByteCountList[i]);
        if (previewOffset && previewLength)
            countImageData(*previewOffset, *previewLength);

        auto next = m_context.u32(directory + 2 + entriesBytes, m_order);
        if (next && *next != 0)
            enqueue(*next);
        return true;
    }

    /// The entry's single value when it is stored inside the entry.
    std::optional<uint64_t> scalarValue(const Entry& entry)
    {
        if (entry.byteCount > 4)
            return std::nullopt;
        if (entry.type == kShortType)
            return m_context.u16(entry.position + 8, m_order);
        return m_context.u32(entry.position + 8, m_order);
    }

    /// The entry's first `maxItems` values: SHORTs as 16-bit values, every other
    /// type as the first 32 bits of each value. Items beyond the end of the source
    /// are left out. The whole run is fetched with one read.
    std::vector<uint64_t> longArray(const Entry& entry, uint64_t maxItems)
    {
        const uint64_t items = std::min<uint64_t>(entry.count, maxItems);
        if (items == 0)
            return {};
        const uint64_t stride = kTypeSizes[entry.type];
        const uint64_t width = entry.type == kShortType ? 2 : 4;
        uint64_t base = entry.position + 8;
        uint64_t length = (items - 1) * stride + width;
        if (entry.byteCount > 4) {
            // Values past the offset bound are left out, as those past the end of
            // the source are: the walk reads nothing beyond its window.
            if (!entry.valueOffset || *entry.valueOffset >= kOffsetBound)
                return {};
            base = m_start + *entry.valueOffset;
            length = std::min(length, kOffsetBound - *entry.valueOffset);
        }
        ByteRun run = m_context.bytes(base, static_cast<int64_t>(length));

        std::vector<uint64_t> values;
        values.reserve(static_cast<size_t>(items));
        for (uint64_t i = 0; i < items; ++i) {
            const uint64_t at = i * stride;
            if (width > run.size() || at > run.size() - width)
                break; // this item and all after it lie past the end of the source
            uint64_t value = 0;
            for (uint64_t k = 0; k < width; ++k)
                value = (value << 8) | run[static_cast<size_t>(at + (m_order == ByteOrder::big ? k : width - 1 - k))];
            values.push_back(value);
        }
        return values;
    }

    /// An ASCII value (Make, Model) up to its first zero byte, at most kMakeBytes of it.
    std::string readText(const Entry& entry)
    {
        uint64_t position = entry.position + 8;
        uint64_t length = std::min(entry.byteCount, kMakeBytes);
        if (entry.valueOffset) {
            // Text past the offset bound is not read, as text past the end of the source cannot be.
            position = m_start + *entry.valueOffset;
            length = *entry.valueOffset >= kOffsetBound ? 0 : std::min(length, kOffsetBound - *entry.valueOffset);
        }
        ByteRun text = m_context.bytes(position, static_cast<int64_t>(length));
        std::string make(text.text());
        return make.substr(0, make.find('\0'));
    }

    ReadContext& m_context;
    const uint64_t m_start;
    const ByteOrder m_order;
    const Flavour m_flavour;

    std::deque<uint32_t> m_queue;
    std::set<uint32_t> m_visited;
    int m_directoryCount { 0 };
    uint64_t m_maxEnd { kHeaderBytes };
    std::string m_make;
    std::string m_model;
    bool m_isDNG { false };
    bool m_sawImageData { false };
    uint64_t m_imageDataEnd { 0 };
};

}

TIFFCarver::TIFFCarver()
    : FormatCarver("tiff", { FormatCategory::photos, FormatCategory::rawPhotos },
        { { 0x49, 0x49, 0x2A, 0x00 }, { 0x4D, 0x4D, 0x00, 0x2A }, textSignature("IIRO"), textSignature("IIRS"), textSignature("MMOR"), { 0x49, 0x49, 0x55, 0x00 } }, 0,
        { kOffsetBound, kOffsetBound + 2 + kEntryBytes * kMostEntries + 4 }) // a directory starting just inside the bound
{
}

namespace {

/// Which header a file has; the signature has matched, so only its third byte tells them apart.
Flavour flavourOf(const ByteRun& header)
{
    switch (header[2]) {
    case 'R':
    case 'O':
        return Flavour::olympus;
    case 'U':
        return Flavour::panasonic;
    default:
        return Flavour::tiff;
    }
}

/// The extension of a raw file told apart by its Make (and for a few makers its Model), or no value for a plain TIFF.
std::optional<std::string_view> extensionOfMaker(std::string_view make, std::string_view model)
{
    if (makeBeginsWith(make, "NIKON"))
        return makeBeginsWith(model, "COOLPIX") ? "nrw" : "nef"; // Nikon's compact cameras write NRW
    if (makeBeginsWith(make, "SONY")) {
        // Sony's first raw cameras: SRF from the DSC-F828 and DSC-V3, SR2 from the DSC-R1.
        if (makeBeginsWith(model, "DSC-F828") || makeBeginsWith(model, "DSC-V3"))
            return "srf";
        return makeBeginsWith(model, "DSC-R1") ? "sr2" : "arw";
    }
    if (makeBeginsWith(make, canonMakePrefix()))
        return "cr2";
    // Pentax bodies made since Ricoh bought the brand name their maker Ricoh Imaging.
    if (makeBeginsWith(make, "PENTAX") || makeBeginsWith(make, "RICOH IMAGING"))
        return "pef";
    if (makeBeginsWith(make, "SAMSUNG"))
        return "srw";
    return std::nullopt;
}

}

std::optional<CarveMatch> TIFFCarver::carve(uint64_t at, ReadContext& context) const
{
    ByteRun header = context.bytes(at, 4); // "II" 2A 00, "MM" 00 2A, or a raw format's own magic
    if (header.size() < 4)
        return std::nullopt;
    const ByteOrder order = header[0] == 'I' ? ByteOrder::little : ByteOrder::big;
    const Flavour flavour = flavourOf(header);
    auto firstDirectory = context.u32(at + 4, order);
    if (!firstDirectory || *firstDirectory < kHeaderBytes)
        return std::nullopt;
    // Canon writes "CR" right after the header of its little-endian CR2 files.
    ByteRun marker = context.bytes(at + 8, 2);
    const bool hasCRMarker = flavour == Flavour::tiff && order == ByteOrder::little && marker.text() == "CR";

    DirectoryWalk walk(context, at, order, flavour);
    if (!walk.walk(*firstDirectory))
        return std::nullopt;
    if (walk.maxEnd() < kSmallestExtent || !walk.sawImageData())
        return std::nullopt;

    // Writers that keep blocks on word boundaries pad the last image data block:
    // a zero byte after it at an odd end belongs to the file. After a directory
    // or a value (libtiff appending a tag) no pad is written.
    uint64_t end = walk.maxEnd();
    if (end % 2 == 1 && walk.endsWithImageData() && context.byte(at + end) == uint8_t { 0 })
        ++end;
    CarveMatch match { end, "tif", FormatCategory::photos, CarveConfidence::exact };
    if (flavour == Flavour::olympus)
        match.ext = "orf";
    else if (flavour == Flavour::panasonic)
        match.ext = makeBeginsWith(walk.make(), "LEICA") ? "rwl" : "rw2";
    else if (hasCRMarker)
        match.ext = "cr2";
    else if (walk.isDNG())
        match.ext = "dng";
    else if (auto ext = extensionOfMaker(walk.make(), walk.model()))
        match.ext = *ext;
    if (match.ext != "tif")
        match.category = FormatCategory::rawPhotos;
    return match;
}

}
