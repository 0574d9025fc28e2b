// Fuzzes the parser of `lsblk --json --bytes` output and the disk filter behind
// it: any text must give a listing or no value, never a crash or an exception,
// and every disk the filter offers must come from a whole disk of the listing.
// sysfs is pointed at a folder that does not exist, so nothing outside the input
// decides.

#include "FuzzSource.hpp"

#include "device/DiskEnumerator.hpp"
#include "device/LsblkDevice.hpp"

#include <functional>
#include <set>
#include <string_view>

using namespace brightfold;
using namespace brightfold::fuzz;

namespace {

constexpr const char* kNoSysfs = "/nonexistent/brightfold-fuzz-sys";

void collectNames(const std::vector<LsblkDevice>& devices, std::set<std::string>& names)
{
    for (const auto& device : devices) {
        names.insert(device.name);
        collectNames(device.children, names);
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    std::string_view text(reinterpret_cast<const char*>(input), inputSize);
    auto listing = parseLsblkJson(text);
    if (!listing)
        return 0;
    if (parseLsblkJson(text) != listing)
        propertyFailed("the same lsblk text parsed twice gave different listings");

    std::set<std::string> names;
    collectNames(*listing, names);
    for (bool includeDiskImages : { false, true }) {
        for (const auto& disk : DiskEnumerator::externalDisks(*listing, includeDiskImages, kNoSysfs)) {
            if (!names.contains(disk.deviceIdentifier))
                propertyFailed("a disk offered that the listing does not hold");
            (void)disk.displayName();
            (void)disk.sizeDescription();
            (void)disk.isMemoryCard();
        }
    }
    std::function<void(const std::vector<LsblkDevice>&)> walk = [&](const std::vector<LsblkDevice>& devices) {
        for (const auto& device : devices) {
            (void)DiskEnumerator::isMemoryCardLike(DiskEnumerator::diskInfo(device, kNoSysfs), true);
            (void)DiskEnumerator::volumeNames(device);
            (void)DiskEnumerator::mountedVolumes(device);
            walk(device.children);
        }
    };
    walk(*listing);
    return 0;
}
