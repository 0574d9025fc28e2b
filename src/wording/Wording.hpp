#pragma once

#include <cstdint>
#include <string>
#include <string_view>

/// The texts that follow rules, written once for the command and the screens.
/// Byte counts are formatByteCount (device/ByteCount.hpp).
namespace brightfold {

/// `done` ÷ `total` as a whole percent, rounded down (99.9 % shows 99, so 100
/// means all of it); 0 when `total` is 0, never above 100, exact for any counts.
int wholePercent(uint64_t done, uint64_t total);

/// `word` for exactly one, else `word` + "s": "file", "files".
std::string plural(int64_t count, std::string_view word);

/// "1 file", "2 files", "0 files" for any `word` taking an "s".
std::string countText(int64_t count, std::string_view word);

/// A time as the screens show it: "under a second" below 1 s, whole seconds
/// below 90 s ("59s"), whole minutes below 5400 s ("1m"), else hours with one
/// decimal ("1.5h"). Negative or not a number counts as under a second.
std::string timeText(double seconds);

/// A time as the command prints it, rounded to the second: "5s", "1m 05s",
/// "2h 03m". Negative or not a number is "0s".
std::string clockText(double seconds);

}
