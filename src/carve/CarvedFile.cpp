#include "carve/CarvedFile.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace brightfold {

std::string_view rawValue(CarveConfidence confidence)
{
    return confidence == CarveConfidence::exact ? "exact" : "heuristic";
}

std::optional<CarveConfidence> carveConfidenceFromRawValue(std::string_view raw)
{
    if (raw == "exact")
        return CarveConfidence::exact;
    if (raw == "heuristic")
        return CarveConfidence::heuristic;
    return std::nullopt;
}

std::string CarvedFile::fileName() const
{
    std::string name = "f";
    name.append(std::to_string(start >> 9)).append(".").append(ext);
    return name;
}

std::string CarvedFile::folderName() const
{
    std::string name = ext;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return name;
}

std::string CarvedFile::headDigestOf(std::span<const uint8_t> data)
{
    constexpr uint64_t kOffsetBasis = 0xcbf29ce484222325;
    constexpr uint64_t kPrime = 0x100000001b3;
    uint64_t hash = kOffsetBasis;
    for (uint8_t byte : data) {
        hash ^= byte;
        hash *= kPrime;
    }
    constexpr std::array<char, 16> kDigits { '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f' };
    std::string hex;
    do {
        hex.insert(hex.begin(), kDigits[hash & 0xF]);
        hash >>= 4;
    } while (hash != 0);
    return hex;
}

}
