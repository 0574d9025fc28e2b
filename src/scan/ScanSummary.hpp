#pragma once

#include "scan/ScanSession.hpp"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace brightfold {

/// What a list of stored scans shows of one: everything but the files. The store
/// keeps it as "summary.json" beside the record, so that listing many scans never
/// decodes their reports; the record stays the truth, and a summary that was not
/// made from the record as it is now is made again.
struct ScanSummary {
    SessionId id;
    ScanSession::Time createdAt;
    std::string sourceName;
    ScanSession::Source source;
    uint64_t filesFound { 0 };
    bool cancelled { false };

    /// The summary of a whole session.
    static ScanSummary of(const ScanSession& session);

    std::string idText() const { return id.text(); }

    /// The short form `brightfold sessions --json` lists: id, date, source name,
    /// source, "filesFound", "cancelled" and the session's "folder".
    nlohmann::json listingJson(const std::filesystem::path& folder) const;

    /// The stored form, with the size and modification time (nanoseconds) of the
    /// record it was made from.
    std::string toJson(uint64_t recordSize, int64_t recordModified) const;
    /// Reads a stored summary; no value for anything else, and none when it was
    /// made from another version of the record than the one of this size and time.
    static std::optional<ScanSummary> fromJson(std::string_view text, uint64_t recordSize, int64_t recordModified);

    bool operator==(const ScanSummary&) const = default;

private:
    /// The members both stored forms share.
    nlohmann::json fields() const;
};

}
