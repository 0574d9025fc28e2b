#include "FormatBuilders.hpp"
#include "carve/formats/ASFCarver.hpp"

namespace brightfold::test {
namespace {

/// A GUID written as text: first three fields little-endian, the last eight bytes as they stand.
std::vector<uint8_t> guid(uint32_t a, uint16_t b, uint16_t c, uint64_t d)
{
    return ByteBuilder().u32le(a).u16le(b).u16le(c).u64be(d).build();
}

const auto kHeader = guid(0x75B22630, 0x668E, 0x11CF, 0xA6D900AA0062CE6C);
const auto kData = guid(0x75B22636, 0x668E, 0x11CF, 0xA6D900AA0062CE6C);
const auto kFileProperties = guid(0x8CABDCA1, 0xA947, 0x11CF, 0x8EE400C00C205365);
const auto kStreamProperties = guid(0xB7DC0791, 0xA9B7, 0x11CF, 0x8EE600C00C205365);
const auto kVideo = guid(0xBC19EFC0, 0x5B4D, 0x11CF, 0xA8FD00805F5C442B);
const auto kAudio = guid(0xF8699E40, 0x5B4D, 0x11CF, 0xA8FD00805F5C442B);
const auto kSimpleIndex = guid(0x33000890, 0xE5B1, 0x11CF, 0x89F400A0C90349CB);

struct AsfFile {
    bool video = true;
    uint32_t packets = 5;
    uint32_t packetBytes = 200;
    uint64_t fileSize = 0;      ///< 0: the true size
    bool zeroDataSize = false;  ///< a broadcast writer leaves it 0
    uint8_t badPacket = 0xFF;   ///< index of a packet whose first byte differs
    uint32_t flags = 2;         ///< seekable
};

std::vector<uint8_t> asf(const AsfFile& f)
{
    auto properties = ByteBuilder().bytes(kFileProperties).u64le(104).fill(16, 0x77).u64le(0xFFFF'FFFF).u64le(0).u64le(f.packets).fill(24).u32le(f.flags)
                          .u32le(f.packetBytes).u32le(f.packetBytes).u32le(64000).build();
    auto stream = ByteBuilder().bytes(kStreamProperties).u64le(24 + 16 + 16).bytes(f.video ? kVideo : kAudio).fill(16).build();
    const uint64_t headerSize = 30 + properties.size() + stream.size();
    ByteBuilder b;
    b.bytes(kHeader).u64le(headerSize).u32le(2).u8(1).u8(2).bytes(properties).bytes(stream);
    const uint64_t dataSize = 50 + uint64_t { f.packets } * f.packetBytes;
    b.bytes(kData).u64le(f.zeroDataSize ? 0 : dataSize).fill(16, 0x77).u64le(f.packets).u16le(0x0101);
    for (uint32_t i = 0; i < f.packets; ++i)
        b.u8(i == f.badPacket ? 0x00 : 0x82).fill(f.packetBytes - 1, 0x5C);
    b.bytes(kSimpleIndex).u64le(24 + 32).fill(32, 0x66);
    const uint64_t total = b.size();
    auto bytes = b.build();
    const uint64_t size = f.fileSize ? f.fileSize : total;
    for (int i = 0; i < 8; ++i)
        bytes[30 + 40 + i] = uint8_t(size >> (8 * i));
    return bytes;
}

TEST(ASFCarverTest, ObjectWalk)
{
    const auto video = asf({});
    const auto sound = asf({ .video = false });
    auto real = readWholeFile(dataFile("media/tiny.wmv"));
    auto wma = readWholeFile(dataFile("media/tone.wma"));
    expectCarves(ASFCarver(), { { "header, data, index", sourceOf(video, 4096), video.size(), kExact, "wmv" },
                                  { "sound only", sourceOf(sound, 4096), sound.size(), kExact, "wma" },
                                  { "file size field disagrees", sourceOf(asf({ .fileSize = 12345 }), 4096), video.size(), kHeuristic },
                                  { "a packet unlike the others", sourceOf(asf({ .badPacket = 3 }), 4096), video.size(), kHeuristic },
                                  { "broadcast: sizes from the packet count", sourceOf(asf({ .zeroDataSize = true, .flags = 1 }), 4096), video.size(), kHeuristic },
                                  { "packets of varying size", sourceOf(asf({ .packetBytes = 16 }), 4096), {} },
                                  { "data past the source's end", sourceOf(prefix(video, 400)), 400, kHeuristic },
                                  { "no data object", sourceOf(prefix(video, 30 + 104 + 56), 4096), {} },
                                  { "ffmpeg WMV", sourceOf(real, 4096), real.size(), kExact, "wmv" },
                                  { "ffmpeg WMA", sourceOf(wma, 4096), wma.size(), kExact, "wma" } });
}

}
}
