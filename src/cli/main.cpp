#include "cli/Commands.hpp"

#include <fmt/core.h>

#include <exception>

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
