#pragma once

#include <optional>

namespace brightfold {

/// Work under way over a known number of files (previews being made, files
/// being saved, copied or moved): `done` of `total` handled.
struct WorkProgress {
    int done { 0 };
    int total { 0 };

    bool operator==(const WorkProgress&) const = default;
};

using OptionalWorkProgress = std::optional<WorkProgress>;

}
