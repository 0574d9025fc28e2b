#include "carve/CarveReport.hpp"

#include "carve/PendingFile.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <system_error>
#include <sstream>

namespace brightfold {

namespace {

using nlohmann::json;

/// `text` as a JSON string with every "/" written "\\/". Plain text (the
/// extensions and hexadecimal digests that make up most of a report) is copied as
/// it is; anything else goes through the JSON library, bytes that are not UTF-8
/// replaced.
std::string jsonString(std::string_view text)
{
    bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x80 && c != '"' && c != '\\' && c != '/';
    });
    if (plain)
        return std::string("\"").append(text).append("\"");
    std::string encoded = json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
    // The library cannot escape "/"; inside one string every "/" is text.
    std::string escaped;
    escaped.reserve(encoded.size() + 8);
    for (char c : encoded) {
        if (c == '/')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

/// One file as a member of the report's "files" list: pretty-printed at the
/// depth of that list, keys in lexical order.
void appendFile(std::string& out, const CarvedFile& file)
{
    // Every member but the first: its key, then the value as already encoded.
    auto addMember = [&out](const char* key, const std::string& value) {
        out += ",\n      \"";
        out += key;
        out += "\": ";
        out += value;
    };
    out += "    {\n      \"category\": ";
    out += jsonString(rawValue(file.category));
    addMember("confidence", jsonString(rawValue(file.confidence)));
    addMember("ext", jsonString(file.ext));
    if (file.folder)
        addMember("folder", jsonString(*file.folder));
    if (file.headDigest)
        addMember("headDigest", jsonString(*file.headDigest));
    addMember("length", std::to_string(file.length));
    if (file.modified)
        addMember("modified", jsonString(*file.modified));
    if (file.name)
        addMember("name", jsonString(*file.name));
    addMember("outputPath", jsonString(file.outputPath));
    if (file.runs) {
        out += ",\n      \"runs\": [";
        for (size_t i = 0; i < file.runs->size(); ++i) {
            const SourceRun& run = (*file.runs)[i];
            out += i == 0 ? "\n        " : ",\n        ";
            out += "{\n          \"length\": " + std::to_string(run.length) + ",\n          \"offset\": " + std::to_string(run.offset)
                + "\n        }";
        }
        out += file.runs->empty() ? "]" : "\n      ]";
    }
    if (file.sampleDigests) {
        out += ",\n      \"sampleDigests\": [";
        for (size_t i = 0; i < file.sampleDigests->size(); ++i) {
            out += i == 0 ? "\n        " : ",\n        ";
            out += jsonString((*file.sampleDigests)[i]);
        }
        out += file.sampleDigests->empty() ? "]" : "\n      ]";
    }
    addMember("start", std::to_string(file.start));
    out += "\n    }";
}

const json& member(const json& object, const char* key, const std::string& where)
{
    auto found = object.find(key);
    if (found == object.end())
        throw ReportFormatError("The report is missing \"" + std::string(key) + "\"" + where + ".");
    return *found;
}

[[noreturn]] void wrongType(const char* key, const char* expected, const std::string& where)
{
    throw ReportFormatError("The report's \"" + std::string(key) + "\"" + where + " is not " + expected + ".");
}

uint64_t unsignedMember(const json& object, const char* key, const std::string& where)
{
    const json& value = member(object, key, where);
    // nlohmann reads -1 as a huge unsigned number and 1.5 as 1: check the kind first.
    if (!value.is_number_unsigned())
        wrongType(key, "a whole number of 0 or more", where);
    return value.get<uint64_t>();
}

std::string stringMember(const json& object, const char* key, const std::string& where)
{
    const json& value = member(object, key, where);
    if (!value.is_string())
        wrongType(key, "a string", where);
    return value.get<std::string>();
}

/// The parser's message without its "[json.exception...]" tag, and with every
/// byte that is not printable ASCII (it quotes the bytes it stopped at, which may
/// not be UTF-8) replaced by "?", so the message can be shown as it is.
std::string showableParserMessage(std::string_view message)
{
    if (message.starts_with("[json.exception.")) {
        auto tagEnd = message.find("] ");
        if (tagEnd != std::string_view::npos)
            message.remove_prefix(tagEnd + 2);
    }
    std::string showable(message);
    for (char& c : showable) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E)
            c = '?';
    }
    return showable;
}

/// A fragmented file's runs: a non-empty list whose first run starts at the
/// file's start and whose lengths add up to its length.
std::vector<SourceRun> decodeRuns(const json& list, const CarvedFile& file, const std::string& where)
{
    if (!list.is_array() || list.empty())
        wrongType("runs", "a list of runs", where);
    std::vector<SourceRun> runs;
    uint64_t total = 0;
    for (const json& item : list) {
        if (!item.is_object())
            wrongType("runs", "a list of runs", where);
        SourceRun run { unsignedMember(item, "offset", where), unsignedMember(item, "length", where) };
        if (run.length > file.length - total)
            wrongType("runs", "runs as long as the file", where);
        total += run.length;
        runs.push_back(run);
    }
    if (total != file.length || runs.front().offset != file.start)
        wrongType("runs", "runs of the file from its start", where);
    return runs;
}

/// One entry of the files list; no value when it is refused, with the reason in `refusals`.
std::optional<CarvedFile> decodeFile(const json& object, size_t index, std::vector<ReportRefusal>& refusals)
{
    std::string where = " in file " + std::to_string(index + 1);
    if (!object.is_object())
        throw ReportFormatError("File " + std::to_string(index + 1) + " of the report is not an object.");
    CarvedFile file;
    file.start = unsignedMember(object, "start", where);
    file.length = unsignedMember(object, "length", where);
    file.ext = stringMember(object, "ext", where);
    auto category = formatCategoryFromRawValue(stringMember(object, "category", where));
    if (!category)
        wrongType("category", "a known category", where);
    file.category = *category;
    auto confidence = carveConfidenceFromRawValue(stringMember(object, "confidence", where));
    if (!confidence)
        wrongType("confidence", "\"exact\" or \"heuristic\"", where);
    file.confidence = *confidence;
    file.outputPath = stringMember(object, "outputPath", where);
    if (object.contains("headDigest"))
        file.headDigest = stringMember(object, "headDigest", where);
    // Reports written before samples were taken have none; their files are checked by the head alone.
    if (object.contains("sampleDigests")) {
        const json& samples = object["sampleDigests"];
        if (!samples.is_array() || !std::all_of(samples.begin(), samples.end(), [](const json& digest) { return digest.is_string(); }))
            wrongType("sampleDigests", "a list of strings", where);
        file.sampleDigests = samples.get<std::vector<std::string>>();
    }
    // What a file system said of the file; reports of carving alone have none of these.
    if (object.contains("name"))
        file.name = stringMember(object, "name", where);
    if (object.contains("folder"))
        file.folder = stringMember(object, "folder", where);
    if (object.contains("modified"))
        file.modified = stringMember(object, "modified", where);
    if (object.contains("runs"))
        file.runs = decodeRuns(object["runs"], file, where);
    const std::string entry = "File " + std::to_string(index + 1);
    if (auto problem = CarvedFile::extensionProblem(file.ext)) {
        refusals.push_back({ ReportRefusal::Kind::leftOut, entry + " was left out: " + *problem + "." });
        return std::nullopt;
    }
    if (auto problem = file.forgetUnusableName())
        refusals.push_back({ ReportRefusal::Kind::nameForgotten, entry + " keeps only its sector name: " + *problem + "." });
    return file;
}

}

std::map<std::string, int64_t> CarveReport::countsByExt() const
{
    std::map<std::string, int64_t> counts;
    for (const auto& file : files)
        ++counts[file.ext];
    return counts;
}

std::string CarveReport::toJson() const
{
    // Written by hand in the library's pretty-printed form: building a tree of
    // JSON values for tens of thousands of files cost a tenth of a scan.
    std::string out;
    out.reserve(256 + files.size() * 320);
    out += "{\n  \"badReads\": ";
    out += std::to_string(badReads);
    out += ",\n  \"cancelled\": ";
    out += cancelled ? "true" : "false";
    out += ",\n  \"duration\": ";
    out += json(duration).dump();
    out += ",\n  \"files\": [";
    for (size_t i = 0; i < files.size(); ++i) {
        out += i == 0 ? "\n" : ",\n";
        appendFile(out, files[i]);
    }
    out += files.empty() ? "]" : "\n  ]";
    out += ",\n  \"scannedBytes\": ";
    out += std::to_string(scannedBytes);
    out += ",\n  \"sourceDescription\": ";
    out += jsonString(sourceDescription);
    out += ",\n  \"totalBytes\": ";
    out += std::to_string(totalBytes);
    if (!unreadableAreas.empty()) {
        out += ",\n  \"unreadableAreas\": [";
        for (size_t i = 0; i < unreadableAreas.size(); ++i) {
            out += i == 0 ? "\n    " : ",\n    ";
            out += "{ \"length\": " + std::to_string(unreadableAreas[i].length) + ", \"offset\": " + std::to_string(unreadableAreas[i].offset) + " }";
        }
        out += "\n  ]";
    }
    out += "\n}\n";
    return out;
}

CarveReport CarveReport::fromJson(std::string_view text)
{
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception& error) {
        // A parse error, or a number too large for a double (out_of_range).
        throw ReportFormatError("The report is not valid JSON (" + showableParserMessage(error.what()) + ").");
    }
    if (!root.is_object())
        throw ReportFormatError("The report is not a JSON object.");
    const std::string where;
    CarveReport report;
    report.sourceDescription = stringMember(root, "sourceDescription", where);
    report.totalBytes = unsignedMember(root, "totalBytes", where);
    report.scannedBytes = unsignedMember(root, "scannedBytes", where);
    const json& duration = member(root, "duration", where);
    if (!duration.is_number())
        wrongType("duration", "a number", where);
    report.duration = duration.get<double>();
    const json& badReads = member(root, "badReads", where);
    if (!badReads.is_number_integer() || (badReads.is_number_unsigned() && badReads.get<uint64_t>() > INT64_MAX))
        wrongType("badReads", "a whole number", where);
    report.badReads = badReads.get<int64_t>();
    const json& cancelled = member(root, "cancelled", where);
    if (!cancelled.is_boolean())
        wrongType("cancelled", "true or false", where);
    report.cancelled = cancelled.get<bool>();
    const json& files = member(root, "files", where);
    if (!files.is_array())
        wrongType("files", "a list", where);
    report.files.reserve(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        if (auto file = decodeFile(files[i], i, report.refusals))
            report.files.push_back(std::move(*file));
    }
    if (auto areas = root.find("unreadableAreas"); areas != root.end()) {
        if (!areas->is_array())
            wrongType("unreadableAreas", "a list", where);
        for (size_t i = 0; i < areas->size(); ++i) {
            const json& area = (*areas)[i];
            const std::string inArea = " in unreadable area " + std::to_string(i + 1);
            if (!area.is_object())
                wrongType("unreadableAreas", "a list of objects", where);
            report.unreadableAreas.push_back({ unsignedMember(area, "offset", inArea), unsignedMember(area, "length", inArea) });
        }
    }
    return report;
}

uint64_t CarveReport::unreadableBytes() const
{
    uint64_t bytes = 0;
    for (const auto& area : unreadableAreas)
        bytes += area.length;
    return bytes;
}

std::filesystem::path CarveReport::writeFile(const std::filesystem::path& folder, ReportNaming naming) const
{
    const std::filesystem::path target = folder / kFileName;
    try {
        std::string text = toJson();
        PendingFile file(folder);
        file.write({ reinterpret_cast<const uint8_t*>(text.data()), text.size() });
        if (naming == ReportNaming::firstFree)
            return file.publishUnique(kFileName);
        if (naming == ReportNaming::replace) {
            file.publishReplacing(kFileName);
            return target;
        }
        if (!file.publish(kFileName))
            throw ReportWriteError(target, std::make_error_code(std::errc::file_exists));
        return target;
    } catch (const std::system_error& error) {
        throw ReportWriteError(target, error.code());
    } catch (const nlohmann::json::exception&) {
        throw ReportWriteError(target, std::make_error_code(std::errc::invalid_argument));
    }
}

CarveReport CarveReport::readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ReportFormatError("Could not read the report " + path.string() + ".");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw ReportFormatError("Could not read the report " + path.string() + ".");
    return fromJson(text.str());
}

}
