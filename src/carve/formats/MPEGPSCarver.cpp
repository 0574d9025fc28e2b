#include "carve/formats/MPEGPSCarver.hpp"

#include "carve/ForwardReader.hpp"

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x1'0000'0000; // 4 GiB: FAT32's largest file
constexpr uint8_t kPackStart = 0xBA;
constexpr uint8_t kEndCode = 0xB9;
constexpr uint8_t kLowestStreamId = 0xBB;       // system header, then the streams' packets
constexpr uint64_t kMPEG1PackBytes = 12;        // start code, SCR and mux rate
constexpr uint64_t kMPEG2PackBytes = 14;        // then up to 7 stuffing bytes
constexpr uint64_t kPacketHeaderBytes = 6;      // start code, u16 packet length
constexpr uint64_t kEndCodeBytes = 4;
constexpr int kFewestPackets = 4;               // a pack, a system header and stream data at least

enum class Step { pack, packet, end, none };

struct Structure {
    Step step;
    uint64_t length;
};

/// What starts at `bytes` (up to 16 of them): a pack header, a packet, the end code, or none of them.
Structure structureAt(std::span<const uint8_t> bytes)
{
    if (bytes.size() < 4 || bytes[0] != 0 || bytes[1] != 0 || bytes[2] != 1)
        return { Step::none, 0 };
    const uint8_t id = bytes[3];
    if (id == kEndCode)
        return { Step::end, kEndCodeBytes };
    if (id == kPackStart) {
        if (bytes.size() >= kMPEG2PackBytes && (bytes[4] & 0xC0) == 0x40) // '01' and the SCR
            return { Step::pack, kMPEG2PackBytes + (bytes[13] & 7) };
        if (bytes.size() >= kMPEG1PackBytes && (bytes[4] & 0xF0) == 0x20) // '0010' and the SCR
            return { Step::pack, kMPEG1PackBytes };
        return { Step::none, 0 };
    }
    if (id < kLowestStreamId || bytes.size() < kPacketHeaderBytes)
        return { Step::none, 0 };
    return { Step::packet, kPacketHeaderBytes + (uint64_t { bytes[4] } << 8 | bytes[5]) };
}

}

MPEGPSCarver::MPEGPSCarver()
    // The pack start code 00 00 01 BA, matched from its third byte: a signature that
    // began with zero bytes would stop the scan at every empty sector of a card.
    : FormatCarver("mpegps", { FormatCategory::video }, { { 0x01, kPackStart } }, 2, { kWalkWindow, kWalkWindow })
{
}

std::optional<CarveMatch> MPEGPSCarver::carve(uint64_t at, ReadContext& context) const
{
    ForwardReader reader(context, at + kWalkWindow);
    uint64_t p = at;
    int packets = 0;
    bool ended = false;  // at the end code
    bool broken = false; // at bytes that are no pack or packet
    while (!ended && !broken) {
        auto head = reader.bytes(p, kMPEG2PackBytes + 7);
        Structure next = structureAt(head);
        if (next.step == Step::none) {
            // Bytes cut by the window or the source's end prove nothing.
            broken = head.size() >= kMPEG2PackBytes;
            break;
        }
        if (packets == 0 && next.step != Step::pack)
            return std::nullopt;
        if (next.length > reader.limit() - p)
            break;
        p += next.length;
        ended = next.step == Step::end;
        ++packets;
    }
    if (packets < kFewestPackets && !ended)
        return std::nullopt;
    const bool exact = ended || broken;
    return CarveMatch { p - at, "mpg", FormatCategory::video, exact ? CarveConfidence::exact : CarveConfidence::heuristic };
}

}
