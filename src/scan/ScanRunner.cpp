#include "scan/ScanRunner.hpp"

#include "carve/PendingFile.hpp"
#include "scan/ScanError.hpp"
#include "device/DeviceError.hpp"
#include "device/SaveDestination.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace brightfold {

namespace {

bool isDevice(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && (S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode));
}

/// The kernel name of the disk `path` names, for unmounting: a device node's
/// (links such as /dev/disk/by-id/… lead to it), else that of the listed disk
/// whose device path it is; no value for anything else.
std::optional<std::string> diskIdentifier(const std::string& path, bool device, DeviceAccess& devices)
{
    if (device) {
        std::error_code ignored;
        return std::filesystem::canonical(path, ignored).filename().string();
    }
    for (const ExternalDisk& disk : devices.externalDisks(DiskImages::included)) {
        if (disk.rawDevicePath() == path)
            return disk.deviceIdentifier;
    }
    return std::nullopt;
}

bool isRefusal(const DeviceError& error)
{
    return error.kind() == DeviceError::Kind::authorizationDenied
        || (error.kind() == DeviceError::Kind::cannotOpen && (error.code() == EACCES || error.code() == EPERM));
}

}

ScanRunner::ScanRunner(ScanRequest request, DeviceAccess& devices, const NoticeHandler& onNotice)
    : m_request(std::move(request))
{
    refuseOutputFolder();
    m_source = openSource(m_request, devices, onNotice);
    prepareEngine();
}

void ScanRunner::refuseOutputFolder() const
{
    // The report and copies written onto the card would overwrite what is being recovered.
    SaveDestination::checkScanFolder(m_request.sourcePath, m_request.outputFolder, m_request.folderRule == OutputFolderRule::asGiven);
    std::error_code error;
    if (m_request.folderRule == OutputFolderRule::asGiven && std::filesystem::exists(reportFile(), error))
        throw ScanError::reportExists(m_request.outputFolder);
}

void ScanRunner::prepareEngine()
{
    if (m_request.folderRule == OutputFolderRule::freshFolder) {
        try {
            m_request.outputFolder = createFreshFolder(m_request.outputFolder);
        } catch (const std::filesystem::filesystem_error& failure) {
            throw ScanError::outputFolderNotCreated(failure.path1(), failure.code());
        }
        m_madeFolder = true;
    }
    m_engine.emplace(m_source, engineConfig(m_request));
}

CarveEngine::Config ScanRunner::engineConfig(const ScanRequest& request)
{
    return {
        .outputDirectory = request.outputFolder,
        .enabledCategories = request.categories,
        .output = request.output,
        .chunkSize = kChunkSize,
        .stride = kStride,
        .progressInterval = kProgressInterval,
    };
}

ByteSourcePtr ScanRunner::openSource(const ScanRequest& request, DeviceAccess& devices, const NoticeHandler& onNotice)
{
    auto notify = [&](ScanNotice::Kind kind, std::string text) {
        if (onNotice)
            onNotice({ kind, std::move(text) });
    };
    const std::string& path = request.sourcePath;
    bool device = isDevice(path);
    if (request.unmount == UnmountChoice::unmountFirst) {
        std::optional<std::string> identifier = diskIdentifier(path, device, devices);
        if (!identifier)
            notify(ScanNotice::Kind::nothingToUnmount, "Note: " + path + " is not a device; there is nothing to unmount.");
        else if (!devices.unmountDisk(*identifier))
            notify(ScanNotice::Kind::unmountIncomplete,
                "Warning: not every volume of " + path + " could be unmounted; scanning it anyway (read-only).");
    }
    if (device && ::access(path.c_str(), R_OK) != 0)
        notify(ScanNotice::Kind::askingPermission,
            "Asking for permission to read " + path + " (the system may be asking for your password)…");
    try {
        return devices.open(path);
    } catch (const DeviceError& error) {
        if (!device || !isRefusal(error) || request.refusal == RefusalText::asReported)
            throw;
        throw ScanError::readingRefused(error.what());
    }
}

CarveReport ScanRunner::run()
{
    try {
        try {
            return m_engine->run();
        } catch (const std::filesystem::filesystem_error& error) {
            throw ScanError::outputFolderNotCreated(m_request.outputFolder, error.code());
        }
    } catch (...) {
        // Only an empty folder goes: remove() leaves one with anything in it.
        std::error_code ignored;
        if (m_madeFolder)
            std::filesystem::remove(m_request.outputFolder, ignored);
        throw;
    }
}

}
