#include "scan/CardCopy.hpp"

#include "carve/export/ImageError.hpp"
#include "device/BlockDeviceSource.hpp"
#include "device/ByteCount.hpp"
#include "device/DestinationError.hpp"
#include "device/DeviceError.hpp"
#include "device/SaveDestination.hpp"

#include <fcntl.h>
#include <sys/statvfs.h>

#include <cerrno>

#include <algorithm>
#include <chrono>

namespace brightfold {

namespace {

double steadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

/// The card's name as a file name: separators, controls and leading dots go.
std::string fileNamePart(const std::string& name)
{
    std::string part;
    for (char c : name)
        part += (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '_' : c;
    part.erase(0, part.find_first_not_of(". "));
    return part.empty() ? std::string("Card") : part.substr(0, 200);
}

/// The nearest folder at or above `folder` that exists.
std::filesystem::path nearestExisting(std::filesystem::path folder)
{
    std::error_code error;
    folder = std::filesystem::absolute(folder, error);
    while (!std::filesystem::exists(folder, error) && folder.has_relative_path())
        folder = folder.parent_path();
    return folder;
}

}

std::optional<std::string> CardCopy::folderProblem(const std::filesystem::path& folder, const std::string& cardPath, uint64_t cardSize)
{
    try {
        SaveDestination::check(cardPath, folder);
    } catch (const DestinationError& error) {
        return error.what();
    }
    struct statvfs room {};
    const std::filesystem::path existing = nearestExisting(folder);
    if (::statvfs(existing.c_str(), &room) == 0) {
        const uint64_t free = uint64_t(room.f_bavail) * uint64_t(room.f_frsize);
        if (free < cardSize)
            return "Not enough room in " + folder.string() + " for a copy of the card: it needs " + formatByteCount(cardSize) + " and "
                + formatByteCount(free) + " are free. Choose a folder on a disk with more room.";
    }
    return std::nullopt;
}

CardCopy::CardCopy(ByteSourcePtr card, std::string cardPath, std::string name, std::filesystem::path folder)
    : m_card(std::move(card))
    , m_cardPath(std::move(cardPath))
    , m_name(fileNamePart(name))
    , m_folder(std::move(folder))
{
    // A card given as an image file (a test card) is read through the same reader.
    if (!std::dynamic_pointer_cast<BlockDeviceSource>(m_card)) {
        UniqueFd fd(::open(m_cardPath.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd)
            throw DeviceError::cannotOpen(m_cardPath, errno);
        m_card = std::make_shared<BlockDeviceSource>(std::move(fd), m_cardPath);
    }
}

CardCopyResult CardCopy::run(const ProgressHandler& onProgress, const std::function<bool()>& isCancelled)
{
    std::error_code error;
    std::filesystem::create_directories(m_folder, error);
    if (error)
        throw ImageError::writeFailed(m_folder.string(), error.value());

    // The copy of this card made before goes on; a file of another card, or one
    // without a map, is left alone and the next name is tried.
    auto device = std::dynamic_pointer_cast<BlockDeviceSource>(m_card);
    std::optional<ImageCopier> copier;
    for (int n = 1; !copier; ++n) {
        std::filesystem::path image = m_folder / (m_name + (n == 1 ? std::string(" copy.img") : " copy " + std::to_string(n) + ".img"));
        try {
            copier.emplace(device, m_cardPath, image);
        } catch (const ImageError& refused) {
            const bool anotherFile = refused.kind() == ImageError::Kind::mapOfAnotherImage || refused.kind() == ImageError::Kind::imageWithoutMap
                || refused.kind() == ImageError::Kind::mapDamaged || refused.kind() == ImageError::Kind::notAFile;
            if (!anotherFile || n == kNamesTried)
                throw;
        }
    }

    // The areas that failed get as long as the rest took, at least the least time.
    const double started = steadySeconds();
    std::optional<double> badAreasFrom;
    bool budgetSpent = false;
    auto stop = [&] {
        if (isCancelled && isCancelled())
            return true;
        if (badAreasFrom && steadySeconds() - *badAreasFrom > std::max(kLeastBadAreaSeconds, *badAreasFrom - started))
            budgetSpent = true;
        return budgetSpent;
    };
    auto step = [&](const ImageProgress& progress) {
        if (progress.pass != RescuePass::copying && !badAreasFrom)
            badAreasFrom = steadySeconds();
        if (onProgress)
            onProgress(progress);
    };
    RescueOutcome outcome = copier->run({ .isCancelled = stop }, step);
    if (budgetSpent && outcome == RescueOutcome::cancelled)
        outcome = RescueOutcome::budgetSpent;

    const ImageProgress progress = copier->progress();
    CardCopyResult result;
    result.outcome = outcome;
    const uint64_t block = device->blockSize();
    for (const Area& area : copier->unreadAreas()) {
        result.unreadable.push_back({ area.start, area.length });
        result.unreadableBlocks += static_cast<int64_t>((area.length + block - 1) / block);
    }
    const std::string path = std::filesystem::absolute(copier->image()).string();
    result.image = ScanSession::Image { path, progress.totalBytes, ScanSessionImageIdentity::of(path) };
    return result;
}

}
