#include "scan/ScanRunner.hpp"

#include "carve/PendingFile.hpp"
#include "scan/ScanError.hpp"
#include "device/DeviceError.hpp"
#include "device/DiskEnumerator.hpp"
#include "device/SaveDestination.hpp"
#include "device/SourceOpener.hpp"

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

bool isRefusal(const DeviceError& error)
{
    return error.kind() == DeviceError::Kind::authorizationDenied
        || (error.kind() == DeviceError::Kind::cannotOpen && (error.code() == EACCES || error.code() == EPERM));
}

}

ScanRunner::ScanRunner(ScanRequest request, const NoticeHandler& onNotice)
    : m_request(std::move(request))
{
    refuseOutputFolder();
    m_source = openSource(m_request, onNotice);
    prepareEngine();
}

ScanRunner::ScanRunner(ScanRequest request, ByteSourcePtr source)
    : m_request(std::move(request))
    , m_source(std::move(source))
{
    refuseOutputFolder();
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

ByteSourcePtr ScanRunner::openSource(const ScanRequest& request, const NoticeHandler& onNotice)
{
    auto notify = [&](ScanNotice::Kind kind, std::string text) {
        if (onNotice)
            onNotice({ kind, std::move(text) });
    };
    const std::string& path = request.sourcePath;
    bool device = isDevice(path);
    if (request.unmount == UnmountChoice::unmountFirst && device) {
        // /dev/disk/by-id/… and other links lead to the kernel's own name.
        std::error_code ignored;
        std::string identifier = std::filesystem::canonical(path, ignored).filename().string();
        if (!DiskEnumerator::unmountDisk(identifier))
            notify(ScanNotice::Kind::unmountIncomplete,
                "Warning: not every volume of " + path + " could be unmounted; scanning it anyway (read-only).");
    } else if (request.unmount == UnmountChoice::unmountFirst) {
        notify(ScanNotice::Kind::nothingToUnmount, "Note: " + path + " is not a device; there is nothing to unmount.");
    }
    if (device && ::access(path.c_str(), R_OK) != 0)
        notify(ScanNotice::Kind::askingPermission,
            "Asking for permission to read " + path + " (the system may be asking for your password)…");
    try {
        return SourceOpener::open(path);
    } catch (const DeviceError& error) {
        if (!device || !isRefusal(error))
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
