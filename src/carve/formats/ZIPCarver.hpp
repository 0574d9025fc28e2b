#pragma once

#include "carve/FormatCarver.hpp"

#include <string>
#include <utility>

namespace brightfold {

/// ZIP archives and the documents built on ZIP (DOCX, XLSX, PPTX, EPUB, and
/// OpenDocument ODT, ODS, ODP). A
/// match starts at a local file header; the file ends after the first end of
/// central directory record (with its comment) whose central directory lies
/// inside the archive. Member names in the central directory tell a document
/// from a plain archive.
class ZIPCarver final : public FormatCarver {
public:
    ZIPCarver();

    std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const override;

    /// Extension and category of the archive whose central directory starts at
    /// the absolute offset `cdStart`, from the first of at most 64 member names
    /// that marks a document ("word/" docx, "xl/" xlsx, "ppt/" pptx, "mimetype"
    /// by what it holds: epub, odt, ods, odp, or zip for any other kind; epub
    /// when it cannot be read); "zip" and archives when none does or the
    /// directory breaks off.
    /// `archiveStart` is where the archive begins. Throws only what the
    /// context's reads throw.
    static std::pair<std::string, FormatCategory> classify(uint64_t archiveStart, uint64_t cdStart, ReadContext& context);
};

}
