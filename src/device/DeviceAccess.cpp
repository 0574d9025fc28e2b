#include "device/DeviceAccess.hpp"

#include "device/DiskEnumerator.hpp"
#include "device/SourceOpener.hpp"

namespace brightfold {

std::vector<ExternalDisk> SystemDeviceAccess::externalDisks(DiskImages images)
{
    return DiskEnumerator::externalDisks(images == DiskImages::included);
}

bool SystemDeviceAccess::unmountDisk(const std::string& identifier)
{
    return DiskEnumerator::unmountDisk(identifier);
}

ByteSourcePtr SystemDeviceAccess::open(const std::string& path)
{
    return SourceOpener::open(path);
}

}
