#pragma once

#include "device/AreaMap.hpp"
#include "device/BlockDeviceSource.hpp"
#include "device/RescueLimits.hpp"
#include "device/UniqueFd.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace brightfold {

/// How far a copy has come.
struct ImageProgress {
    RescuePass pass { RescuePass::copying };
    uint64_t totalBytes { 0 };
    uint64_t bytesRead { 0 };       ///< in the image, counting earlier runs
    uint64_t bytesUnreadable { 0 }; ///< failed so far: given up, or waiting for the trimming and scraping passes
    int64_t failedReads { 0 };      ///< in this run
    double elapsed { 0 };           ///< seconds of this run
    double bytesPerSecond { 0 };    ///< read in this run
    /// Seconds this run took to reach the scraping pass: every byte that reads at full speed was read then.
    std::optional<double> edgesReadAfter;
};

/// Copies a card (or an image file) into an image file through the RescueReader,
/// healthy part first, with a map beside it (IMAGE.map) that says what each area
/// holds. Run again, it goes on from the map: nothing read is read again.
class ImageCopier {
public:
    /// Seconds between two saves of the map while copying.
    static constexpr double kMapSaveSeconds = 5;

    /// The map beside `image`.
    static std::filesystem::path mapFile(const std::filesystem::path& image);

    /// Opens `sourcePath` read-only (a device through the privileged open when
    /// needed), then checks as the other constructor does.
    ImageCopier(const std::string& sourcePath, std::filesystem::path image);
    /// Copies `source`, opened by the caller. Reads the map beside the image and
    /// refuses, before anything is written: a damaged map, a map of another source
    /// or size, a file at the image's path without a map, the source itself as the
    /// image, a folder on the card (SaveDestination), and a disk without the room
    /// for what is left. Throws ImageError, DestinationError, DeviceError.
    ImageCopier(std::shared_ptr<BlockDeviceSource> source, std::string sourcePath, std::filesystem::path image);

    /// The copying pass, then the trimming and scraping of what failed, within
    /// `limits`; the map is saved every kMapSaveSeconds and at the end, whatever
    /// happens. `onProgress` is called at each step. Throws ImageError::writeFailed
    /// (the map then still holds what was written).
    RescueOutcome run(const RescueLimits& limits, const std::function<void(const ImageProgress&)>& onProgress = {});

    ImageProgress progress() const;
    /// The areas still not read, in order (to try again, or given up).
    std::vector<Area> unreadAreas() const;
    const AreaMap& startMap() const { return m_startMap; }
    const std::filesystem::path& image() const { return m_image; }

private:
    void saveMap();
    void write(uint64_t offset, std::span<const uint8_t> bytes);

    std::shared_ptr<BlockDeviceSource> m_source;
    std::string m_sourcePath;
    std::filesystem::path m_image;
    AreaMap m_startMap;
    std::unique_ptr<RescueReader> m_reader;
    UniqueFd m_imageFd;
    RescuePass m_pass { RescuePass::copying };
    double m_started { 0 };
    std::optional<double> m_edgesReadAfter;
    uint64_t m_readAtStart { 0 };
};

}
