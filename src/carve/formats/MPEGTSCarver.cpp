#include "carve/formats/MPEGTSCarver.hpp"

#include "carve/ForwardReader.hpp"

#include <array>

namespace brightfold {

namespace {

constexpr uint64_t kWalkWindow = 0x1'0000'0000; // 4 GiB: FAT32's largest file; camcorders split longer recordings
constexpr uint64_t kPlainPacketBytes = 188;
constexpr uint64_t kArrivalTimeBytes = 4;
constexpr uint8_t kSyncByte = 0x47;
constexpr uint64_t kFewestPackets = 16; // 3 KiB: a table or two and some stream data
constexpr uint16_t kNullPid = 0x1FFF;   // stuffing, whose counter means nothing
constexpr size_t kPidCount = 0x2000;

/// Continuity of each packet identifier: its last counter, or -1 before its first packet.
class Continuity {
public:
    Continuity() { m_last.fill(-1); }

    /// Whether the 4-byte packet header at `header` (and the adaptation field
    /// after it) is a packet that follows on from the ones before it; remembers it.
    bool follows(const uint8_t* header)
    {
        const uint16_t pid = static_cast<uint16_t>((header[1] & 0x1F) << 8 | header[2]);
        const unsigned control = header[3] >> 4 & 3; // 1 payload, 2 adaptation field, 3 both
        const int counter = header[3] & 0x0F;
        if (control == 0) // reserved
            return false;
        if (pid == kNullPid)
            return true;
        // Adaptation field: u8 length, then flags whose top bit marks a discontinuity.
        const bool discontinuity = (control & 2) && header[4] > 0 && (header[5] & 0x80);
        const int last = m_last[pid];
        m_last[pid] = static_cast<int8_t>(counter);
        if (last < 0 || discontinuity)
            return true;
        // The counter steps with each payload; a packet may be sent twice.
        if (control & 1)
            return counter == ((last + 1) & 0x0F) || counter == last;
        return counter == last;
    }

private:
    std::array<int8_t, kPidCount> m_last;
};

}

MPEGTSCarver::MPEGTSCarver(Packets packets)
    : FormatCarver(packets == Packets::plain ? "ts" : "m2ts", { FormatCategory::video },
        // The first packet: the program association table (PID 0) or the service description (PID 0x11).
        { { kSyncByte, 0x40, 0x00 }, { kSyncByte, 0x40, 0x11 } },
        packets == Packets::plain ? 0 : static_cast<int64_t>(kArrivalTimeBytes), { kWalkWindow, kWalkWindow })
    , m_packetBytes(packets == Packets::plain ? kPlainPacketBytes : kPlainPacketBytes + kArrivalTimeBytes)
    , m_syncOffset(packets == Packets::plain ? 0 : kArrivalTimeBytes)
    , m_ext(packets == Packets::plain ? "ts" : "mts")
{
}

std::optional<CarveMatch> MPEGTSCarver::carve(uint64_t at, ReadContext& context) const
{
    ForwardReader reader(context, at + kWalkWindow);
    const uint64_t limit = reader.limit();
    const uint64_t wholePackets = ForwardReader::kPieceBytes / m_packetBytes * m_packetBytes;
    Continuity continuity;
    uint64_t p = at;
    bool broken = false;
    while (!broken && limit > p && limit - p >= m_packetBytes) {
        auto piece = reader.bytes(p, std::min(wholePackets, (limit - p) / m_packetBytes * m_packetBytes));
        if (piece.size() < m_packetBytes)
            break;
        uint64_t offset = 0;
        for (; offset + m_packetBytes <= piece.size(); offset += m_packetBytes) {
            const uint8_t* header = piece.data() + offset + m_syncOffset;
            if (header[0] != kSyncByte || !continuity.follows(header)) {
                broken = true;
                break;
            }
        }
        p += offset;
    }
    const uint64_t packets = (p - at) / m_packetBytes;
    if (packets < kFewestPackets)
        return std::nullopt;
    // Packets up to the window's or the source's end prove no end.
    return CarveMatch { p - at, m_ext, FormatCategory::video, broken ? CarveConfidence::exact : CarveConfidence::heuristic };
}

}
