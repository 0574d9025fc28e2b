#include "device/ByteCount.hpp"

#include <array>
#include <cmath>
#include <cstdio>

namespace brightfold {

std::string formatByteCount(uint64_t bytes)
{
    if (bytes == 1)
        return "1 byte";
    if (bytes < 1000)
        return std::to_string(bytes) + " bytes";
    constexpr std::array<const char*, 6> kUnits { "KB", "MB", "GB", "TB", "PB", "EB" };
    double value = static_cast<double>(bytes) / 1000.0;
    size_t unit = 0;
    // Round to one decimal first, so 999,960 bytes shows as "1 MB", not "1000 KB".
    while (unit + 1 < kUnits.size() && std::round(value * 10.0) / 10.0 >= 1000.0) {
        value /= 1000.0;
        ++unit;
    }
    double rounded = std::round(value * 10.0) / 10.0;
    char text[32];
    if (rounded == std::floor(rounded))
        std::snprintf(text, sizeof text, "%.0f %s", rounded, kUnits[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", rounded, kUnits[unit]);
    return text;
}

}
