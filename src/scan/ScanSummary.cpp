#include "scan/ScanSummary.hpp"

#include "scan/RecordJson.hpp"

namespace brightfold {

using namespace record;

ScanSummary ScanSummary::of(const ScanSession& session)
{
    return { session.id, session.createdAt, session.sourceName, session.source, session.report.files.size(), session.report.cancelled };
}

nlohmann::json ScanSummary::fields() const
{
    return {
        { "id", idText() },
        { "createdAt", isoDateText(createdAt) },
        { "sourceName", sourceName },
        { "source", encodeSource(source) },
        { "filesFound", filesFound },
        { "cancelled", cancelled },
    };
}

nlohmann::json ScanSummary::listingJson(const std::filesystem::path& folder) const
{
    json listing = fields();
    listing["folder"] = folder.string();
    return listing;
}

std::string ScanSummary::toJson(uint64_t recordSize, int64_t recordModified) const
{
    json summary = fields();
    summary["record"] = { { "size", recordSize }, { "modified", recordModified } };
    return summary.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<ScanSummary> ScanSummary::fromJson(std::string_view text, uint64_t recordSize, int64_t recordModified)
{
    try {
        const json root = json::parse(text);
        if (!root.is_object())
            return std::nullopt;
        const json& record = objectMember(root, "record");
        const json& modified = member(record, "modified");
        if (sizeMember(record, "size") != recordSize || !modified.is_number_integer() || modified.get<int64_t>() != recordModified)
            return std::nullopt;
        const json& cancelled = member(root, "cancelled");
        if (!cancelled.is_boolean())
            return std::nullopt;
        return ScanSummary { idMember(root, "id"), dateMember(root, "createdAt"), stringMember(root, "sourceName"),
            decodeSource(objectMember(root, "source")), sizeMember(root, "filesFound"), cancelled.get<bool>() };
    } catch (const json::exception&) {
        return std::nullopt;
    } catch (const ScanSessionError&) {
        return std::nullopt;
    }
}

}
