#pragma once

#include "carve/export/ImageCopier.hpp"
#include "device/ByteSource.hpp"
#include "scan/ScanSession.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brightfold {

/// How a copy of a card ended.
struct CardCopyResult {
    ScanSession::Image image; ///< the copy, as a stored scan records it
    RescueOutcome outcome { RescueOutcome::complete };
    std::vector<UnreadableRegion> unreadable {}; ///< zeros in the copy where the card could not be read, in order
    int64_t unreadableBlocks { 0 };              ///< the card's blocks in them
};

/// A card copied into an image file on this computer before it is scanned, so that
/// the scan, the previews and the save read the copy and a failing card is read
/// once. Every byte that reads at full speed comes first; the areas that failed
/// then get as long as that took, at least kLeastBadAreaSeconds. The copy is named
/// after the card in the folder chosen; run again for the same card it goes on from
/// its map, so nothing read is read twice.
class CardCopy {
public:
    /// The least time the areas that failed are given after the rest is copied.
    static constexpr double kLeastBadAreaSeconds = 60;
    /// Names tried in one folder before giving up: "NAME copy.img", "NAME copy 2.img", …
    static constexpr int kNamesTried = 50;

    using ProgressHandler = std::function<void(const ImageProgress&)>;

    /// Why `folder` cannot take a copy of the card at `cardPath` of `cardSize` bytes
    /// (on the card itself, or without the room); no value when it can. A folder not
    /// made yet is looked at through the nearest one that exists.
    static std::optional<std::string> folderProblem(const std::filesystem::path& folder, const std::string& cardPath, uint64_t cardSize);

    /// `card` is the card at `cardPath`, opened (any other source is read again from
    /// `cardPath` as a device); `name` names the copy. Throws DeviceError.
    CardCopy(ByteSourcePtr card, std::string cardPath, std::string name, std::filesystem::path folder);

    /// Copies the card, calling `onProgress` at each step; `isCancelled` stops any
    /// pass within a read, keeping what was copied. Throws ImageError,
    /// DestinationError (a folder on the card) and DeviceError.
    CardCopyResult run(const ProgressHandler& onProgress, const std::function<bool()>& isCancelled);

private:
    ByteSourcePtr m_card;
    std::string m_cardPath;
    std::string m_name;
    std::filesystem::path m_folder;
};

}
