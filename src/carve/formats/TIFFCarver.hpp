#pragma once

#include "carve/FormatCarver.hpp"

namespace brightfold {

/// TIFF images and the TIFF-based camera RAW files: CR2, NEF, NRW, ARW, SR2,
/// SRF, DNG, PEF and SRW behind a classic header, ORF and RW2/RWL behind their
/// own magic numbers ("IIRO", "IIRS", "MMOR"; "IIU"). Walks the directory
/// graph breadth first (the directory chain, EXIF, GPS and interoperability
/// directories, SubIFDs) and takes as the length the furthest
/// byte any directory, tag value, strip, tile or embedded JPEG preview reaches;
/// image data are never read. The extension comes from the header's magic, the
/// "CR" marker after the header, a DNGVersion tag, or the Make and Model texts.
///
/// Bad input: a broken header or first directory, or a file whose extent is
/// under 201 bytes or holds no image data, is no match; later damaged
/// directories and entries are skipped. A file running past the end of the
/// source is cut there by the engine, as heuristic.
class TIFFCarver final : public FormatCarver {
public:
    TIFFCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;
};

}
