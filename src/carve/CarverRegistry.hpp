#pragma once

#include "carve/FormatCarver.hpp"

#include <vector>

namespace brightfold {

/// The fixed list of carvers. Its order is the order in which the engine tries
/// them at each position: an earlier carver wins when two could claim it.
class CarverRegistry {
public:
    CarverRegistry() = delete;

    /// Every carver, built with its default properties, in registry order.
    static std::vector<FormatCarverPtr> all();
    /// The carvers of all() that serve at least one of `categories`, in registry order.
    static std::vector<FormatCarverPtr> carvers(const CategorySet& categories);
};

}
