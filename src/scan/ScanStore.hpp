#pragma once

#include "scan/ScanSession.hpp"
#include "scan/ScanSummary.hpp"

#include <filesystem>
#include <vector>

namespace brightfold {

/// The stored scans: one folder per session under
/// $XDG_DATA_HOME/Brightfold Recover/Scans, named by the session's id and holding
/// "scan.json" (the record), "summary.json" (what a list shows of it, made again
/// from the record whenever it is missing, damaged or stale), what the engine
/// wrote there, and the previews.
class ScanStore {
public:
    ScanStore() = delete;

    /// Worked out on each use from the environment; never created here.
    static std::filesystem::path root();
    /// root()/ID for the session's id.
    static std::filesystem::path folder(const ScanSession& session) { return folder(session.id); }
    static std::filesystem::path folder(const SessionId& id);
    /// Creates the session's folder and writes "scan.json" under a temporary name,
    /// renamed over the old record only when complete, so an interrupted save
    /// never leaves half a record; then its summary. Throws
    /// ScanSessionError::storeFailed (a summary that cannot be written is not an
    /// error: listing makes it again).
    static void save(const ScanSession& session);
    /// Stores a scan that has just finished: `started` (its id and source) with
    /// `report`, stamped with the time now, as save() does; returns what was stored.
    /// The command and the application store every scan through here.
    static ScanSession saveFinished(ScanSession started, CarveReport report);
    /// Every readable stored session that found at least one file, newest first;
    /// equal dates keep the folder listing's order. A folder whose record is
    /// missing, damaged or belongs to another folder is left out (and said so in
    /// the log), never removed.
    static std::vector<ScanSession> all();
    /// What all() lists, as summaries: reads each folder's summary, and decodes
    /// the record only where the summary is missing, damaged or was made from
    /// another version of the record (and then writes it anew, when it can).
    /// Blocks on the disk: never on the interface thread.
    static std::vector<ScanSummary> summaries();
    /// The stored session with this id (any case), found or not. Throws
    /// ScanSessionError::badRecord when its record is missing or damaged.
    static ScanSession find(const std::string& idText);
    /// Removes the session's folder and everything in it; failures are ignored.
    /// Blocks on the disk.
    static void remove(const SessionId& id);

    static constexpr const char* kRecordName = "scan.json";
    static constexpr const char* kSummaryName = "summary.json";
};

}
