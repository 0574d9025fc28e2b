#pragma once

#include <cstdint>
#include <string>

namespace brightfold {

/// A byte count in decimal units as a file manager shows it: 999 → "999 bytes",
/// 1,500,000 → "1.5 MB", 64,000,000,000 → "64 GB". Used for every size shown.
std::string formatByteCount(uint64_t bytes);

}
