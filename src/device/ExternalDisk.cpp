#include "device/ExternalDisk.hpp"

#include "device/ByteCount.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace brightfold {

namespace {

constexpr std::array<std::string_view, 13> kCardWords { "sd", "sdhc", "sdxc", "sduc", "microsd", "card", "reader", "cf", "cfast",
    "cfexpress", "xqd", "mmc", "sxs" };

}

std::string ExternalDisk::displayName() const
{
    if (!volumeNames.empty()) {
        std::string joined;
        for (const auto& name : volumeNames) {
            if (!joined.empty())
                joined += ", ";
            joined += name;
        }
        return joined;
    }
    if (!mediaName.empty())
        return mediaName;
    return deviceIdentifier;
}

std::string ExternalDisk::sizeDescription() const
{
    return formatByteCount(sizeBytes);
}

bool ExternalDisk::isMemoryCard() const
{
    std::string word;
    auto isCardWord = [](const std::string& candidate) {
        return std::find(kCardWords.begin(), kCardWords.end(), candidate) != kCardWords.end();
    };
    for (char c : mediaName) {
        auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte)) {
            word += static_cast<char>(std::tolower(byte));
            continue;
        }
        if (isCardWord(word))
            return true;
        word.clear();
    }
    return isCardWord(word);
}

}

size_t std::hash<brightfold::ExternalDisk>::operator()(const brightfold::ExternalDisk& disk) const noexcept
{
    size_t seed = std::hash<std::string>()(disk.deviceIdentifier);
    auto mix = [&seed](size_t value) { seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); };
    mix(std::hash<std::string>()(disk.mediaName));
    mix(std::hash<uint64_t>()(disk.sizeBytes));
    for (const auto& name : disk.volumeNames)
        mix(std::hash<std::string>()(name));
    return seed;
}
