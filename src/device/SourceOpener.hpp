#pragma once

#include "device/ByteSource.hpp"

#include <string>

namespace brightfold {

/// Opens a scan target as the right kind of source: a regular file as a
/// FileSource, a block or character device as a BlockDeviceSource.
class SourceOpener {
public:
    SourceOpener() = delete;

    /// Throws DeviceError: cannotOpen (missing, unreadable), notAFileOrDevice
    /// (a directory, socket, pipe), authorizationDenied (privileged open refused).
    static ByteSourcePtr open(const std::string& path);
};

}
