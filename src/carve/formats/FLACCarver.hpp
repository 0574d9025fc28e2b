#pragma once

#include "carve/FormatCarver.hpp"

#include <span>

namespace brightfold {

/// FLAC audio (.flac): the metadata blocks by their lengths, then the frames one
/// after another. A frame has no length field: it ends where its CRC-16 checks
/// and the next frame's header (with its own CRC-8 and the next frame or sample
/// number) begins. The frame that completes the stream's total samples, from
/// STREAMINFO, is the last one and ends the file exactly.
class FLACCarver final : public FormatCarver {
public:
    FLACCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
    /// Every byte of every frame is checked by the frames' CRCs.
    bool provesWholeBody() const override { return true; }

    struct FrameHeader {
        uint64_t headerBytes;
        bool variableBlocks; ///< numbered by sample rather than by frame
        uint64_t number;     ///< frame number, or first sample number with variable blocks
        uint32_t blockSize;  ///< samples per channel
    };
    /// The frame header at the start of `bytes` (sync code, block size, sample
    /// rate, channels, sample size, UTF-8 coded number, the extra size and rate
    /// bytes, CRC-8); no value when any field is reserved or the CRC-8 fails.
    static std::optional<FrameHeader> frameHeader(std::span<const uint8_t> bytes);
};

}
