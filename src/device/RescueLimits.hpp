#pragma once

#include <functional>
#include <optional>

namespace brightfold {

/// How long the passes over bad areas may go on, and how hard they try.
struct RescueLimits {
    int maxTries { 3 };            ///< single-block reads of one block before it is given up as unreadable
    std::optional<double> budget {}; ///< seconds for the bad areas (trimming and scraping); none: no limit
    std::function<bool()> isCancelled {};
};

/// The pass a rescue is in.
enum class RescuePass {
    copying,  ///< reading everything not tried yet at full speed, passing over failures
    trimming, ///< reading the areas passed over from their edges inward
    scraping, ///< reading what is left between the edges block by block
};

/// How a run of passes ended.
enum class RescueOutcome {
    complete,    ///< nothing is left to try
    budgetSpent, ///< the time budget ran out; what is left stays in the map
    cancelled,
    deviceGone,  ///< the device stopped answering (a card pulled out)
};

}
