#include "FormatBuilders.hpp"
#include "carve/formats/MPEGTSCarver.hpp"

namespace brightfold::test {
namespace {

struct Packet {
    uint16_t pid;
    uint8_t counter;
    uint8_t control = 1;          ///< 1 payload, 2 adaptation field, 3 both
    bool discontinuity = false;
};

/// Packets of 188 bytes (after a 4-byte arrival time when `timestamped`): sync, PID, counter, then filler.
std::vector<uint8_t> stream(const std::vector<Packet>& packets, bool timestamped = false)
{
    ByteBuilder b;
    for (const auto& packet : packets) {
        if (timestamped)
            b.u32be(0x1234'5678);
        b.u8(0x47).u8(uint8_t(0x40 | packet.pid >> 8)).u8(uint8_t(packet.pid)).u8(uint8_t(packet.control << 4 | packet.counter));
        if (packet.control & 2)
            b.u8(7).u8(packet.discontinuity ? 0x80 : 0x00).fill(6, 0xFF);
        b.padTo(b.size() + 188 - ((packet.control & 2) ? 12 : 4), 0xAB);
    }
    return b.build();
}

/// A table, then video and audio packets with counters that follow on: `count` packets.
std::vector<Packet> program(size_t count, uint8_t first = 0)
{
    std::vector<Packet> packets;
    for (size_t i = 0; i < count; ++i) {
        const uint16_t pid = i % 10 == 0 ? 0 : (i % 3 ? 0x100 : 0x101);
        uint8_t counter = 0;
        for (const auto& earlier : packets)
            counter = earlier.pid == pid ? uint8_t((earlier.counter + 1) & 15) : counter;
        bool seen = std::any_of(packets.begin(), packets.end(), [&](const Packet& p) { return p.pid == pid; });
        packets.push_back({ pid, seen ? counter : first });
    }
    return packets;
}

TEST(MPEGTSCarverTest, PacketWalk)
{
    const MPEGTSCarver carver(MPEGTSCarver::Packets::plain);
    auto broken = program(40);
    broken[30].counter = uint8_t((broken[30].counter + 5) & 15);
    auto duplicated = program(20);
    duplicated.insert(duplicated.begin() + 5, duplicated[4]);
    auto jumped = program(20);
    for (size_t i = 12; i < jumped.size(); ++i) { // the counter jumps by 7 at packet 12, flagged there
        if (jumped[i].pid == jumped[12].pid)
            jumped[i].counter = uint8_t((jumped[i].counter + 7) & 15);
    }
    jumped[12].control = 3;
    jumped[12].discontinuity = true;
    auto stuffed = program(20);
    stuffed.insert(stuffed.begin() + 3, { 0x1FFF, 9 });
    stuffed.insert(stuffed.begin() + 8, { 0x1FFF, 2 });
    auto reserved = program(25);
    reserved[20].control = 0;
    std::vector<Packet> twice = program(21);
    auto second = program(20, 0);
    twice.insert(twice.end(), second.begin(), second.end());

    std::vector<CarveCase> cases { { "packets, then zeros", sourceOf(stream(program(40)), 4096), 40 * 188, kExact, "ts" },
        { "packets to the source's end", sourceOf(stream(program(40))), 40 * 188, kHeuristic },
        { "fifteen packets", sourceOf(stream(program(15)), 4096), {} },
        { "counter jumps", sourceOf(stream(broken), 4096), 30 * 188 },
        { "a packet sent twice", sourceOf(stream(duplicated), 4096), 21 * 188 },
        { "discontinuity flagged", sourceOf(stream(jumped), 4096), 20 * 188 },
        { "null packets", sourceOf(stream(stuffed), 4096), 22 * 188 },
        { "reserved adaptation control", sourceOf(stream(reserved), 4096), 20 * 188 },
        // A second recording right behind the first restarts its counters.
        { "two recordings back to back", sourceOf(stream(twice), 4096), 21 * 188 },
        { "bytes of another file after the packets", sourceOf(ByteBuilder().bytes(stream(program(17))).bytes(jpegPhoto(300, 3)).build()), 17 * 188 } };
    auto real = readWholeFile(dataFile("media/tiny.ts"));
    cases.push_back({ "ffmpeg transport stream", sourceOf(real, 4096), real.size(), kExact, "ts" });
    expectCarves(carver, cases);
}

TEST(MPEGTSCarverTest, TimestampedPackets)
{
    const MPEGTSCarver carver(MPEGTSCarver::Packets::timestamped);
    EXPECT_EQ(carver.signatureOffset(), 4);
    auto real = readWholeFile(dataFile("media/tiny.mts"));
    expectCarves(carver, { { "packets of 192 bytes", sourceOf(stream(program(40), true), 4096), 40 * 192, kExact, "mts" },
                             { "plain packets", sourceOf(stream(program(40)), 4096), {} },
                             { "ffmpeg with arrival times", sourceOf(real, 4096), real.size(), kExact, "mts" } });
}

}
}
