#include "cli/Commands.hpp"

#include <fmt/core.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <exception>

namespace brightfold::cli {

CategorySet parseCategories(const std::string& text)
{
    if (text.empty())
        return CategorySet(kAllFormatCategories.begin(), kAllFormatCategories.end());
    auto lower = [](std::string_view value) {
        std::string result(value);
        std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) { return std::tolower(c); });
        return result;
    };
    CategorySet categories;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = std::min(text.find(',', begin), text.size());
        std::string name = lower(text.substr(begin, end - begin));
        auto known = std::find_if(kAllFormatCategories.begin(), kAllFormatCategories.end(),
            [&](FormatCategory category) { return lower(rawValue(category)) == name; });
        if (known == kAllFormatCategories.end())
            throw CommandError("Unknown file type \"" + text.substr(begin, end - begin)
                + "\". Choose from photos, rawPhotos, video, audio, documents, archives.");
        categories.insert(*known);
        begin = end + 1;
    }
    return categories;
}

std::string folderTimestamp()
{
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc {};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H-%M-%SZ", &utc);
    return text;
}

}

int main(int argc, char** argv)
{
    using namespace brightfold::cli;
    CLI::App app { "Brightfold Recover: gets photos, videos, audio, documents and archives back from memory cards and disk images.", "brightfold" };
    app.require_subcommand(1);
    app.set_version_flag("--version", "brightfold 0.1.0");
    auto scan = addScanCommand(app);
    auto save = addSaveCommand(app);
    auto disks = addDisksCommand(app);
    auto sessions = addSessionsCommand(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }
    try {
        if (app.got_subcommand("scan"))
            return scan();
        if (app.got_subcommand("save"))
            return save();
        if (app.got_subcommand("disks"))
            return disks();
        if (app.got_subcommand("sessions"))
            return sessions();
    } catch (const std::exception& error) {
        fmt::print(stderr, "brightfold: {}\n", error.what());
        return 1;
    }
    return 1;
}
