#pragma once

#include "carve/FormatCategory.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brightfold {

/// How a carver found a file's end.
enum class CarveConfidence {
    exact,     ///< from the format's own structure
    heuristic, ///< an estimate: an end-marker search, a size cap, or the end of the source
};

std::string_view rawValue(CarveConfidence confidence);
std::optional<CarveConfidence> carveConfidenceFromRawValue(std::string_view raw);

/// What a carver returns for an accepted file. A length of 0 counts as no match.
struct CarveMatch {
    uint64_t length { 0 };
    std::string ext;
    FormatCategory category { FormatCategory::photos };
    CarveConfidence confidence { CarveConfidence::exact };

    /// The match as a scan records it for a file with `available` bytes between
    /// its start and the source's end: a length running past the end is cut
    /// there, and the end of a cut file is only a guess.
    CarveMatch clippedTo(uint64_t available) const
    {
        if (length <= available)
            return *this;
        return { available, ext, category, CarveConfidence::heuristic };
    }

    bool operator==(const CarveMatch&) const = default;
};

}
