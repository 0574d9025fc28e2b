#pragma once

#include "workflow/ScanSession.hpp"

#include <filesystem>
#include <vector>

namespace brightfold {

/// The stored scans: one folder per session under
/// $XDG_DATA_HOME/Brightfold Recover/Scans, named by the session's id and holding
/// "scan.json", what the engine wrote there, and the previews.
class ScanStore {
public:
    ScanStore() = delete;

    /// Worked out on each use from the environment; never created here.
    static std::filesystem::path root();
    /// root()/ID for the session's id.
    static std::filesystem::path folder(const ScanSession& session);
    /// Creates the session's folder and writes "scan.json" under a temporary name,
    /// renamed over the old record only when complete, so an interrupted save
    /// never leaves half a record. Throws ScanSessionError::storeFailed.
    static void save(const ScanSession& session);
    /// Every readable stored session that found at least one file, newest first;
    /// equal dates keep the folder listing's order. A folder whose record is
    /// missing, damaged or belongs to another folder is left out (and said so in
    /// the log), never removed.
    static std::vector<ScanSession> all();
    /// The stored session with this id (any case), found or not. Throws
    /// ScanSessionError::badRecord when its record is missing or damaged.
    static ScanSession find(const std::string& idText);
    /// Removes the session's folder and everything in it; failures are ignored.
    static void remove(const ScanSession& session);

    static constexpr const char* kRecordName = "scan.json";
};

}
