#pragma once

#include <string>

namespace brightfold {

/// The facts about one whole disk that decide whether it is offered for scanning.
/// Every flag is false when nothing says otherwise.
struct DiskInfo {
    /// What stands behind the disk.
    enum class Backing {
        physical,    ///< a medium in a device
        virtualDisk, ///< made up by the kernel: device-mapper, md, zram, nbd, …
        diskImage,   ///< a file attached as a loop device
    };

    Backing backing { Backing::physical };
    /// Holds a mount of /, /boot, /usr, /var or /home, or active swap.
    bool osInternalMedia { false };
    /// Holds the medium a live system was started from.
    bool systemImage { false };
    /// The medium can be taken out (a card in its slot or reader).
    bool removableMedia { false };
    /// The device can be attached and detached while running, and so ejected.
    bool hotPluggable { false };
    /// Built in: not hot-pluggable, on no removable-device bus.
    bool internal { false };
    /// The medium's or device's model; empty when none is known.
    std::string mediaName;
};

}
