#pragma once

#include "carve/FormatCategory.hpp"
#include "device/ByteSource.hpp"

#include <CLI/CLI.hpp>

#include <stdexcept>
#include <string>

namespace brightfold::cli {

/// A user-facing failure: the message is printed as one line, the exit code is 1.
class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Parses "photos,rawPhotos,..." (names compared without regard to case);
/// an empty text means every category. Throws CommandError for an unknown name.
CategorySet parseCategories(const std::string& text);

/// The current UTC time as 2026-01-31T09-15-02Z, fit for a folder name.
std::string folderTimestamp();

/// Opens what `scan` reads. A device's volumes are unmounted first when
/// `unmountFirst` is set (a card that stays mounted is still scanned, with a
/// warning); the system may ask for an administrator's password. Throws
/// DeviceError, or CommandError when reading a device was not permitted.
ByteSourcePtr openScanSource(const std::string& path, bool unmountFirst);

/// Each command adds its subcommand to `app` and returns what runs it.
std::function<int()> addScanCommand(CLI::App& app);
std::function<int()> addSaveCommand(CLI::App& app);
std::function<int()> addDisksCommand(CLI::App& app);
std::function<int()> addSessionsCommand(CLI::App& app);

}
