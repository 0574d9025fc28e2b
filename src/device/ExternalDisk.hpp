#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brightfold {

/// A whole disk offered for scanning.
struct ExternalDisk {
    std::string deviceIdentifier;         ///< the kernel name: sdb, mmcblk0
    std::string mediaName;                ///< the model; empty when none is known
    uint64_t sizeBytes { 0 };             ///< 0 when unknown
    std::vector<std::string> volumeNames; ///< non-empty names, in the order found

    const std::string& id() const { return deviceIdentifier; }
    /// The device node the scan opens: "/dev/" + the kernel name.
    std::string rawDevicePath() const { return "/dev/" + deviceIdentifier; }
    /// The volume names joined with ", ", else the media name, else the kernel name.
    std::string displayName() const;
    /// The size in decimal units as a file manager shows it ("64 GB").
    std::string sizeDescription() const;
    /// True when a whole word of the media name is a card word ("sdxc", "reader", …);
    /// words are runs of letters and digits, compared in lower case.
    bool isMemoryCard() const;

    bool operator==(const ExternalDisk&) const = default;
};

}

template<>
struct std::hash<brightfold::ExternalDisk> {
    size_t operator()(const brightfold::ExternalDisk& disk) const noexcept;
};
