#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// Flash video (.flv): the header, then the chain of audio, video and script
/// tags, each followed by the size of the tag before it. Exact when the chain
/// ends at bytes that are no tag; a chain cut by the window or the source's end
/// is an estimate.
class FLVCarver final : public FormatCarver {
public:
    FLVCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
