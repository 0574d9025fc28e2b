#include "cli/Commands.hpp"

#include "device/ByteCount.hpp"
#include "scan/ScanStore.hpp"

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace brightfold::cli {

namespace {

std::string describeSource(const ScanSummary& session)
{
    if (const auto* disk = std::get_if<ScanSession::Disk>(&session.source))
        return fmt::format("{} ({}, card {})", session.sourceName, formatByteCount(disk->sizeBytes), disk->deviceIdentifier);
    const auto& image = std::get<ScanSession::Image>(session.source);
    return fmt::format("{} ({}, image {})", session.sourceName, formatByteCount(image.sizeBytes), image.path);
}

int runSessions(bool json)
{
    std::vector<ScanSummary> sessions = ScanStore::summaries();
    if (json) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& session : sessions)
            list.push_back(session.listingJson(ScanStore::folder(session.id)));
        fmt::print("{}\n", list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
        return 0;
    }
    if (sessions.empty()) {
        fmt::print("No stored scans in {}. Scans that find files are stored there.\n", ScanStore::root().string());
        return 0;
    }
    fmt::print("{:<36}  {:<20}  {:>6}  {}\n", "ID", "Date", "Files", "Source");
    for (const auto& session : sessions)
        fmt::print("{:<36}  {:<20}  {:>6}  {}{}\n", session.idText(), isoDateText(session.createdAt), session.filesFound,
            describeSource(session), session.cancelled ? " (stopped early)" : "");
    return 0;
}

}

std::function<int()> addSessionsCommand(CLI::App& app)
{
    auto json = std::make_shared<bool>(false);
    auto* command = app.add_subcommand("sessions", "List the stored scans that found files, newest first");
    command->add_flag("--json", *json, "Print the list as JSON");
    return [json] { return runSessions(*json); };
}

}
