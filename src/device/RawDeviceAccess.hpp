#pragma once

#include "device/UniqueFd.hpp"

#include <optional>
#include <string>
#include <vector>

namespace brightfold {

/// Opens devices read-only, escalating to an administrator's authorisation when the
/// user may not read the device. The escalation runs the privileged-open tool
/// (pkexec with our brightfold-open-device helper), which opens the device and
/// passes the descriptor back over a Unix socket as SCM_RIGHTS.
class RawDeviceAccess {
public:
    RawDeviceAccess() = delete;

    /// The command that opens a device on the user's behalf; the device path is
    /// appended as its last argument. The first element is an absolute path.
    using Tool = std::vector<std::string>;

    /// pkexec running the installed brightfold-open-device helper.
    static Tool privilegedOpenTool();

    /// A read-only, close-on-exec descriptor for `path`. When the ordinary open is
    /// refused for lack of permission, asks `tool` once (the user may be asked for an
    /// administrator's password; blocks until the tool exits). Throws
    /// DeviceError::cannotOpen (with the open's errno, also when the tool is not
    /// installed, or with the spawn error) or DeviceError::authorizationDenied.
    static UniqueFd openReadOnly(const std::string& path, const Tool& tool = privilegedOpenTool());

    /// The privileged open alone: runs `tool` with the absolute form of `path`, its
    /// standard output one end of a socket pair, and takes the descriptor it sends.
    /// The child's exit status is not examined: success is that a descriptor arrived.
    /// Throws DeviceError::cannotOpen when the socket pair or the spawn fails,
    /// DeviceError::authorizationDenied when no descriptor arrived (the user declined,
    /// the tool refused the path, or it could not reach the system's authority).
    static UniqueFd authopen(const std::string& path, const Tool& tool = privilegedOpenTool());

    /// Receives one passed descriptor from `socket`: accepted only when the message's
    /// first control message is SCM_RIGHTS carrying exactly one read-only descriptor
    /// above 0. Every other descriptor that arrives is closed; no value otherwise.
    static std::optional<UniqueFd> receiveFD(int socket);
};

}
