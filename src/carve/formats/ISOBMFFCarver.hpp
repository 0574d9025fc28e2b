#pragma once

#include "carve/FormatCarver.hpp"

#include <string>
#include <string_view>
#include <utility>

namespace brightfold {

/// Files of the ISO base media family: HEIC and AVIF images, CR3 raw files,
/// MP4, MOV, M4V and 3GP video, M4A audio. Confirms the leading "ftyp" box,
/// walks the chain of top-level boxes by their stated lengths (reading box
/// headers only), and cuts the file where another file of the family starts
/// on a 512-byte boundary inside it. The extension comes from the major brand.
///
/// Bad input: an implausible "ftyp" box, or a chain without a "moov", "mdat",
/// "meta" or "moof" box, is no match. An unknown box type, a size of 0 or 2 to
/// 7, or a largesize under 16 ends the walk. A box running past the source or
/// 32 GiB from the start, or a following file inside a box, gives a heuristic
/// length.
class ISOBMFFCarver final : public FormatCarver {
public:
    ISOBMFFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;

    /// The start of another file of this family strictly between `after` and
    /// `before`: an "ftyp" box on a 512-byte boundary with a size of 12 to 4096
    /// and a printable major brand. Read errors pass through.
    static std::optional<uint64_t> nextFileStart(uint64_t after, uint64_t before, ReadContext& context);

    /// Extension and category for a major brand already trimmed of spaces and
    /// lower-cased ("qt" gives mov and video); unknown brands give mp4 and video.
    static std::pair<std::string, FormatCategory> ext(std::string_view brand);
};

}
