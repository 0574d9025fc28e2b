#pragma once

#include <string>

namespace brightfold {

/// The facts about one whole disk that decide whether it is offered for scanning.
/// Every flag is false when nothing says otherwise.
struct DiskInfo {
    /// "Disk Image" for a disk backed by a file (a loop device); else the transport.
    std::string busProtocol;
    /// "Virtual" for disks the kernel makes up (device-mapper, md, zram, nbd, …);
    /// else "Physical".
    std::string virtualOrPhysical;
    /// Holds a mount of /, /boot, /usr, /var or /home, or active swap.
    bool osInternalMedia { false };
    /// Holds the medium a live system was started from.
    bool systemImage { false };
    /// The medium can be taken out (a card in its slot or reader).
    bool removableMedia { false };
    /// The device can be attached and detached while running.
    bool removableMediaOrExternalDevice { false };
    bool ejectable { false };
    /// Built in: not hot-pluggable, on no removable-device bus.
    bool internal { false };
    /// The medium's or device's model; empty when none is known.
    std::string mediaName;
};

}
