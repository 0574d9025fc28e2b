#pragma once

#include "carve/CarveEngine.hpp"
#include "device/DeviceAccess.hpp"
#include "carve/CarveReport.hpp"
#include "carve/FormatCategory.hpp"
#include "device/ByteSource.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace brightfold {

/// Whether a card's volumes are unmounted before it is scanned.
enum class UnmountChoice {
    leaveMounted,
    unmountFirst,
};

/// What a refusal to read a device becomes: the command adds how to get
/// permission (ScanError::readingRefused); the application shows the device
/// layer's own words (the DeviceError as thrown).
enum class RefusalText {
    withAdvice,
    asReported,
};

/// How a scan's output folder is chosen.
enum class OutputFolderRule {
    asGiven,     ///< the folder named, made when missing; refused when it holds a report already
    freshFolder, ///< a new folder at that path, or at path-1, path-2, … when the path is taken
};

/// What one scan reads, looks for and writes.
struct ScanRequest {
    std::string sourcePath;             ///< a disk image or a device node
    CategorySet categories;             ///< what to look for
    std::filesystem::path outputFolder; ///< gets the report (and the copies in files mode); made when missing
    OutputFolderRule folderRule { OutputFolderRule::asGiven };
    CarveEngine::Config::OutputMode output { CarveEngine::Config::OutputMode::catalog };
    UnmountChoice unmount { UnmountChoice::leaveMounted };
    RefusalText refusal { RefusalText::withAdvice };
};

/// Something the user should hear while a scan is being opened. The scan goes on.
struct ScanNotice {
    enum class Kind {
        unmountIncomplete, ///< a volume stayed mounted; the card is scanned (read-only) all the same
        nothingToUnmount,  ///< unmounting was asked for a source that is not a device
        askingPermission,  ///< the system may now ask for an administrator's password
    };

    Kind kind;
    std::string text; ///< one user-facing line
};

/// One scan as the application and the command both run it, with the settings the
/// product always scans with. Constructing it opens the source; run() scans it. The
/// source stays open as long as the runner, so previews can be made from it after.
class ScanRunner {
public:
    static constexpr int64_t kChunkSize = CarveEngine::kChunkSize; ///< bytes read per step; a multiple of kStride
    static constexpr int64_t kStride = 512;                 ///< bytes: files are looked for at sector starts
    static constexpr double kProgressInterval = 0.3;        ///< seconds between two progress snapshots, at least

    using NoticeHandler = std::function<void(const ScanNotice&)>;

    /// Refuses an output folder on the card itself (DestinationError) or one that
    /// holds a report already (ScanError::reportExists), unmounts the card first
    /// through `devices` when the request says so (one that stays mounted is
    /// scanned all the same, after a notice), then opens the source read-only
    /// through `devices`; this may block while the system asks for a password (a
    /// notice says so first). A fresh folder is made only once the source is open.
    /// Throws DeviceError, ScanError::readingRefused when reading a device was not
    /// permitted (unless the request wants the refusal as reported), and ScanError::outputFolderNotCreated. The command and the
    /// application both scan through here.
    ScanRunner(ScanRequest request, DeviceAccess& devices, const NoticeHandler& onNotice = {});

    /// The engine: set its onProgress before run(); its cancel() works from any thread.
    CarveEngine& engine() { return *m_engine; }
    const ByteSourcePtr& source() const { return m_source; }
    /// The request, with the output folder actually used.
    const ScanRequest& request() const { return m_request; }

    /// Scans the whole source on the calling thread and writes the report into the
    /// output folder; a cancelled scan returns its report too. Throws
    /// ScanError::outputFolderNotCreated, CarveError (empty source, folder not
    /// writable) and the source's DeviceError when a chunk cannot be read; a fresh
    /// folder made for the scan is removed again then.
    CarveReport run();

    /// Where run() writes the report.
    std::filesystem::path reportFile() const { return m_request.outputFolder / CarveReport::kFileName; }
    /// Why run() could not write the report (the scan itself is complete); no value when it did.
    const std::optional<ReportWriteError>& reportWriteError() const { return m_engine->reportWriteError(); }

    /// The engine's settings for `request`.
    static CarveEngine::Config engineConfig(const ScanRequest& request);
    /// Opens the source as the constructor does.
    static ByteSourcePtr openSource(const ScanRequest& request, DeviceAccess& devices, const NoticeHandler& onNotice);

private:
    /// DestinationError when the folder lies on the card being scanned;
    /// ScanError::reportExists when the folder as given holds a report already.
    void refuseOutputFolder() const;
    /// Makes the fresh folder when one is asked for, then the engine.
    void prepareEngine();

    ScanRequest m_request;
    ByteSourcePtr m_source;
    bool m_madeFolder { false };
    std::optional<CarveEngine> m_engine; ///< made once the output folder is settled
};

}
