#include "wording/Wording.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace brightfold {

namespace {

constexpr double kSecondsShownUpTo = 90;   // below this, whole seconds
constexpr double kMinutesShownUpTo = 5400; // below this, whole minutes
constexpr double kLongestClock = 1e15;     // seconds; beyond, the count would not fit a long

__extension__ typedef unsigned __int128 Wide; // a byte count × 100 fits

std::string printed(const char* format, long first, long second)
{
    char text[64] {};
    std::snprintf(text, sizeof text, format, first, second);
    return text;
}

}

int wholePercent(uint64_t done, uint64_t total)
{
    if (total == 0)
        return 0;
    // In 128 bits: done × 100 overflows 64 bits above 184 PB, and a float would
    // show an exact 29 % as 28.
    return static_cast<int>(static_cast<Wide>(std::min(done, total)) * 100 / total);
}

std::string plural(int64_t count, std::string_view word)
{
    std::string text(word);
    if (count != 1)
        text += 's';
    return text;
}

std::string countText(int64_t count, std::string_view word)
{
    return std::to_string(count) + ' ' + plural(count, word);
}

std::string timeText(double seconds)
{
    if (!(seconds >= 1))
        return "under a second";
    if (seconds < kSecondsShownUpTo)
        return std::to_string(static_cast<int64_t>(seconds)) + "s";
    if (seconds < kMinutesShownUpTo)
        return std::to_string(static_cast<int64_t>(seconds / 60)) + "m";
    char text[64] {};
    std::snprintf(text, sizeof text, "%.1fh", seconds / 3600);
    return text;
}

std::string clockText(double seconds)
{
    const long total = seconds > 0 ? std::lround(std::min(seconds, kLongestClock)) : 0;
    if (total >= 3600)
        return printed("%ldh %02ldm", total / 3600, (total / 60) % 60);
    if (total >= 60)
        return printed("%ldm %02lds", total / 60, total % 60);
    return std::to_string(total) + "s";
}

}
