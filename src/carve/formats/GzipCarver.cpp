#include "carve/formats/GzipCarver.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x4000'0000;        // 1 GiB of compressed bytes: a stream not ended by then is cut there
constexpr uint64_t kMostInflatedBytes = 0x4000'0000;  // 1 GiB per file: what a small stream may expand to is bounded too
constexpr uint64_t kFreeInflatedBytes = 0x400'0000;   // 64 MiB inflated before the ratio below is held to
constexpr uint64_t kMostRatio = 128;                  // inflated ÷ compressed: text compresses 3 to 20 times, a bomb 1000
constexpr int64_t kInputStep = 0x4'0000;             // 256 KiB of compressed bytes fed at a time
constexpr size_t kOutputStep = 0x1'0000;             // 64 KiB inflated at a time, checked and dropped
constexpr uint64_t kLeastBrokenOutput = 0x1'0000;    // 64 KiB: a stream breaking sooner was never a gzip file
constexpr int kMostMembers = 0x1000;
constexpr uint64_t kFixedHeaderBytes = 10;           // 1F 8B, method, flags, u32 time, extra flags, system
constexpr uint64_t kTrailerBytes = 8;                // u32le CRC-32 and u32le size (mod 2^32) of the inflated data
constexpr uint64_t kLongestName = 0x1'0000;          // bytes of a name or comment, its zero included
constexpr uint8_t kDeflate = 8;

enum Flag : uint8_t {
    headerCRC = 0x02,
    extra = 0x04,
    name = 0x08,
    comment = 0x10,
    reserved = 0xE0,
};

// A tar archive's first header: "ustar" at 257.
constexpr uint64_t kTarMagicAt = 257;
constexpr std::string_view kTarMagic = "ustar";
constexpr size_t kHeadBytes = kTarMagicAt + kTarMagic.size(); // inflated bytes kept to tell a tar archive

/// zlib's inflate state for a raw deflate stream, ended on every path.
class Inflater {
public:
    Inflater() { m_ready = ::inflateInit2(&m_stream, -MAX_WBITS) == Z_OK; }
    ~Inflater()
    {
        if (m_ready)
            ::inflateEnd(&m_stream);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool ready() const { return m_ready; }
    z_stream& stream() { return m_stream; }

private:
    z_stream m_stream {};
    bool m_ready { false };
};

/// Where the member's compressed data begin (relative to the file), or no
/// value for a header that is not a gzip member's.
std::optional<uint64_t> dataStart(uint64_t at, uint64_t member, ReadContext& context)
{
    ByteRun fixed = context.bytes(at + member, kFixedHeaderBytes);
    if (fixed.size() != kFixedHeaderBytes || fixed[0] != 0x1F || fixed[1] != 0x8B || fixed[2] != kDeflate || (fixed[3] & Flag::reserved))
        return std::nullopt;
    const uint8_t flags = fixed[3];
    uint64_t p = member + kFixedHeaderBytes;
    if (flags & Flag::extra) {
        auto length = context.u16le(at + p); // u16le length of the extra field
        if (!length)
            return std::nullopt;
        p += 2 + *length;
    }
    for (Flag text : { Flag::name, Flag::comment }) {
        if (!(flags & text))
            continue;
        static constexpr std::array<uint8_t, 1> kZero { 0 };
        auto zero = context.find(kZero, at + p, kLongestName, static_cast<int64_t>(kLongestName));
        if (!zero)
            return std::nullopt;
        p = *zero - at + 1;
    }
    if (flags & Flag::headerCRC)
        p += 2;
    return p;
}

/// The outcome of inflating one member.
struct Member {
    uint64_t end;      ///< relative to the file: after the trailer, or after the last byte inflated
    bool whole;        ///< the stream ended and its trailer agrees
    uint64_t inflated; ///< bytes that came out
};

/// Inflates the member whose data start at `data`; `head` receives the first
/// kHeadBytes inflated bytes of the file. No value when the stream breaks before
/// kLeastBrokenOutput bytes came out of the file so far.
std::optional<Member> inflateMember(uint64_t at, uint64_t data, uint64_t inflatedBefore, ReadContext& context, std::vector<uint8_t>& head)
{
    Inflater inflater;
    if (!inflater.ready())
        return std::nullopt;
    z_stream& stream = inflater.stream();
    std::array<uint8_t, kOutputStep> output;
    uLong crc = ::crc32(0, nullptr, 0);
    uint64_t consumed = 0, inflated = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (data + consumed >= kWalkWindow || inflatedBefore + inflated >= kMostInflatedBytes)
            break;
        ByteRun input = context.bytes(at + data + consumed, std::min<int64_t>(kInputStep, static_cast<int64_t>(kWalkWindow - data - consumed)));
        if (input.empty())
            break; // the source ends inside the stream
        stream.next_in = const_cast<Bytef*>(input.data());
        stream.avail_in = static_cast<uInt>(input.size());
        while (stream.avail_in > 0 && status != Z_STREAM_END && inflated <= kFreeInflatedBytes + kMostRatio * (consumed + input.size() - stream.avail_in)) {
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(output.size());
            // With input and room for output, inflate makes progress, ends the stream, or fails.
            status = ::inflate(&stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END)
                break;
            const size_t produced = output.size() - stream.avail_out;
            crc = ::crc32(crc, output.data(), static_cast<uInt>(produced));
            const size_t kept = std::min(produced, kHeadBytes - head.size());
            head.insert(head.end(), output.begin(), output.begin() + static_cast<std::ptrdiff_t>(kept));
            inflated += produced;
        }
        const bool stalled = stream.avail_in > 0 && status == Z_OK; // held to the ratio
        consumed += input.size() - stream.avail_in;
        if ((status != Z_OK && status != Z_STREAM_END) || stalled)
            break;
    }
    if (status != Z_STREAM_END) {
        if (inflatedBefore + inflated < kLeastBrokenOutput)
            return std::nullopt;
        return Member { data + consumed, false, inflated };
    }
    // Trailer: u32le CRC-32 and u32le size modulo 2^32 of the inflated data.
    auto storedCRC = context.u32le(at + data + consumed);
    auto storedSize = context.u32le(at + data + consumed + 4);
    const bool agrees = storedCRC == static_cast<uint32_t>(crc) && storedSize == static_cast<uint32_t>(inflated);
    return Member { data + consumed + kTrailerBytes, agrees, inflated };
}

}

GzipCarver::GzipCarver()
    : FormatCarver("gzip", { FormatCategory::archives }, { { 0x1F, 0x8B, kDeflate } }, 0,
        // the last input step, then a trailer and the header of a member after it with its name and comment
        { kWalkWindow, kWalkWindow + uint64_t { kInputStep } + kTrailerBytes + kFixedHeaderBytes + 2 + 0xFFFF + 2 * kLongestName })
{
}

std::optional<CarveMatch> GzipCarver::carve(uint64_t at, ReadContext& context) const
{
    std::vector<uint8_t> head;
    head.reserve(kHeadBytes);
    uint64_t end = 0, inflated = 0;
    bool whole = true;
    for (int member = 0; member < kMostMembers && whole && end < kWalkWindow; ++member) {
        auto data = dataStart(at, end, context);
        if (!data) {
            if (member == 0)
                return std::nullopt;
            break; // the members end here
        }
        auto inflatedMember = inflateMember(at, *data, inflated, context, head);
        if (!inflatedMember)
            return std::nullopt;
        end = inflatedMember->end;
        whole = inflatedMember->whole;
        inflated += inflatedMember->inflated;
    }
    const bool isTar = head.size() == kHeadBytes && std::string_view(reinterpret_cast<const char*>(head.data()) + kTarMagicAt, kTarMagic.size()) == kTarMagic;
    return CarveMatch { end, isTar ? "tar.gz" : "gz", FormatCategory::archives, whole ? CarveConfidence::exact : CarveConfidence::heuristic };
}

}
