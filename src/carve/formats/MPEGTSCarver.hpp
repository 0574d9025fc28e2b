#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// MPEG transport streams: plain 188-byte packets (.ts, as encoders and TV
/// recorders write them) or 192-byte packets that carry a 4-byte arrival time
/// first (AVCHD camcorders' .mts). Walks the packets while each begins with the
/// sync byte and every stream's continuity counter follows on, so one recording
/// is one file; the first packet that breaks the chain ends it.
class MPEGTSCarver final : public FormatCarver {
public:
    enum class Packets {
        plain,       ///< 188 bytes
        timestamped, ///< a 4-byte arrival time, then 188 bytes
    };

    explicit MPEGTSCarver(Packets packets);

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
    /// Every packet's header is checked, packet after packet, to the last one.
    bool provesWholeBody() const override { return true; }

private:
    uint64_t m_packetBytes;
    uint64_t m_syncOffset;
    const char* m_ext;
};

}
