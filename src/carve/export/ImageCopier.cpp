#include "carve/export/ImageCopier.hpp"

#include "device/ByteCount.hpp"
#include "device/DestinationError.hpp"
#include "device/DeviceError.hpp"
#include "carve/export/ImageError.hpp"
#include "device/RawDeviceAccess.hpp"
#include "device/SaveDestination.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

namespace brightfold {

namespace {

double steadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::shared_ptr<BlockDeviceSource> openForImage(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        throw DeviceError::cannotOpen(path, errno);
    UniqueFd fd;
    if (S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode)) {
        fd = RawDeviceAccess::openReadOnly(path);
    } else if (S_ISREG(status.st_mode)) {
        fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd)
            throw DeviceError::cannotOpen(path, errno);
    } else {
        throw DeviceError::notAFileOrDevice(path);
    }
    return std::make_shared<BlockDeviceSource>(std::move(fd), path);
}

/// Writes `text` to `target` whole or not at all: a temporary file beside it, flushed, then renamed.
void replaceWhole(const std::filesystem::path& target, const std::string& text)
{
    const std::filesystem::path temporary = target.string() + ".new";
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd)
        throw ImageError::writeFailed(temporary.string(), errno);
    for (size_t done = 0; done < text.size();) {
        ssize_t wrote = ::write(fd.get(), text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            const int error = wrote < 0 ? errno : EIO;
            ::unlink(temporary.c_str());
            throw ImageError::writeFailed(temporary.string(), error);
        }
        done += static_cast<size_t>(wrote);
    }
    if (::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw ImageError::writeFailed(target.string(), error);
    }
}

}

ImageError ImageError::writeFailed(const std::string& file, int error)
{
    return { Kind::writeFailed, "Could not write " + file + ": " + std::strerror(error) + ". What was copied so far is kept; run the same command again to go on." };
}

std::filesystem::path ImageCopier::mapFile(const std::filesystem::path& image)
{
    return image.string() + ".map";
}

ImageCopier::ImageCopier(const std::string& sourcePath, std::filesystem::path image)
    : ImageCopier(openForImage(sourcePath), sourcePath, std::move(image))
{
}

ImageCopier::ImageCopier(std::shared_ptr<BlockDeviceSource> source, std::string sourcePath, std::filesystem::path image)
    : m_source(std::move(source))
    , m_sourcePath(std::move(sourcePath))
    , m_image(std::move(image))
    , m_startMap(m_source->size())
{
    const std::string map = mapFile(m_image).string();
    const uint64_t size = m_source->size();
    std::error_code error;
    const bool imageExists = std::filesystem::exists(std::filesystem::symlink_status(m_image, error));
    struct stat imageStatus {};
    if (imageExists && ::stat(m_image.c_str(), &imageStatus) == 0) {
        struct stat sourceStatus {};
        if (::fstat(m_source->descriptor(), &sourceStatus) == 0 && sourceStatus.st_dev == imageStatus.st_dev && sourceStatus.st_ino == imageStatus.st_ino)
            throw ImageError::sameAsSource(m_image.string());
        if (!S_ISREG(imageStatus.st_mode))
            throw ImageError::notAFile(m_image.string());
    }

    if (std::filesystem::exists(map, error)) {
        std::ifstream in(map, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!in && !in.eof())
            throw ImageError::mapDamaged(map, std::string("it cannot be read."));
        AreaMap::Parsed parsed;
        try {
            parsed = AreaMap::parse(text.str());
        } catch (const AreaMapError& damaged) {
            throw ImageError::mapDamaged(map, damaged.what());
        }
        if (parsed.source != m_sourcePath || parsed.map.size() != size)
            throw ImageError::mapOfAnotherImage(map, "it was made from " + parsed.source + " of " + std::to_string(parsed.map.size()) + " bytes, not from "
                    + m_sourcePath + " of " + std::to_string(size) + " bytes");
        if (parsed.map.bytesIn(AreaState::read) > 0 && (!imageExists || static_cast<uint64_t>(imageStatus.st_size) != size))
            throw ImageError::mapOfAnotherImage(map, imageExists ? "the image beside it is not " + std::to_string(size) + " bytes long" : "the image it describes is missing");
        m_startMap = std::move(parsed.map);
    } else if (imageExists) {
        throw ImageError::imageWithoutMap(m_image.string());
    }

    std::filesystem::path folder = std::filesystem::absolute(m_image).parent_path();
    SaveDestination::check(m_sourcePath, folder);
    struct statvfs room {};
    if (::statvfs(folder.c_str(), &room) == 0) {
        const uint64_t needed = size - m_startMap.bytesIn(AreaState::read);
        const uint64_t free = uint64_t(room.f_bavail) * uint64_t(room.f_frsize);
        if (needed > free)
            throw ImageError::noRoom(folder.string(), formatByteCount(needed), formatByteCount(free));
    }
    m_reader = m_source->readerWith(m_startMap);
}

void ImageCopier::write(uint64_t offset, std::span<const uint8_t> bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t wrote = ::pwrite(m_imageFd.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            throw ImageError::writeFailed(m_image.string(), wrote < 0 ? errno : ENOSPC);
        done += static_cast<size_t>(wrote);
    }
}

void ImageCopier::saveMap()
{
    // The map never claims what is not on the disk yet.
    if (::fdatasync(m_imageFd.get()) != 0)
        throw ImageError::writeFailed(m_image.string(), errno);
    replaceWhole(mapFile(m_image), m_reader->map().text(m_sourcePath));
}

RescueOutcome ImageCopier::run(const RescueLimits& limits, const std::function<void(const ImageProgress&)>& onProgress)
{
    m_imageFd = UniqueFd(::open(m_image.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!m_imageFd)
        throw ImageError::writeFailed(m_image.string(), errno);
    // Full length at once (unwritten parts stay holes), so the image's size is the card's.
    if (::ftruncate(m_imageFd.get(), static_cast<off_t>(m_source->size())) != 0)
        throw ImageError::writeFailed(m_image.string(), errno);
    m_started = steadySeconds();
    m_readAtStart = m_startMap.bytesIn(AreaState::read);
    double lastSave = m_started;
    auto onStep = [&](RescuePass pass) {
        m_pass = pass;
        if (pass == RescuePass::scraping && !m_edgesReadAfter)
            m_edgesReadAfter = steadySeconds() - m_started;
        if (steadySeconds() - lastSave >= kMapSaveSeconds) {
            saveMap();
            lastSave = steadySeconds();
        }
        if (onProgress)
            onProgress(progress());
    };
    auto sink = [this](uint64_t offset, std::span<const uint8_t> bytes) { write(offset, bytes); };
    RescueOutcome outcome;
    try {
        m_pass = RescuePass::copying;
        outcome = m_reader->copyUntried(sink, limits, onStep);
        if (outcome == RescueOutcome::complete) {
            m_pass = RescuePass::trimming;
            outcome = m_reader->readBadAreas(sink, limits, onStep);
        }
    } catch (...) {
        try {
            saveMap();
        } catch (const ImageError&) {
        }
        throw;
    }
    saveMap();
    if (onProgress)
        onProgress(progress());
    return outcome;
}

ImageProgress ImageCopier::progress() const
{
    const AreaMap map = m_reader->map();
    ImageProgress progress;
    progress.pass = m_pass;
    progress.totalBytes = map.size();
    progress.bytesRead = map.bytesIn(AreaState::read);
    progress.bytesUnreadable = map.bytesIn(AreaState::skipped) + map.bytesIn(AreaState::unscraped) + map.bytesIn(AreaState::unreadable);
    progress.failedReads = m_reader->failedReads();
    progress.edgesReadAfter = m_edgesReadAfter;
    progress.elapsed = m_started > 0 ? steadySeconds() - m_started : 0;
    if (progress.elapsed > 0 && progress.bytesRead > m_readAtStart)
        progress.bytesPerSecond = static_cast<double>(progress.bytesRead - m_readAtStart) / progress.elapsed;
    return progress;
}

std::vector<Area> ImageCopier::unreadAreas() const
{
    std::vector<Area> unread;
    for (const Area& area : m_reader->map().areas()) {
        if (area.state == AreaState::read)
            continue;
        if (!unread.empty() && unread.back().end() == area.start)
            unread.back().length += area.length;
        else
            unread.push_back(area);
    }
    return unread;
}

}
