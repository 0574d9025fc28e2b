#include "cli/Commands.hpp"
#include "cli/ExitStatus.hpp"

#include <fmt/core.h>

#include <exception>

namespace {

/// The subcommand named on the command line, when the first argument is not an
/// option and no subcommand has that name.
std::optional<std::string> unknownSubcommand(const CLI::App& app, int argc, char** argv)
{
    if (argc < 2 || argv[1][0] == '-')
        return std::nullopt;
    try {
        app.get_subcommand(argv[1]);
        return std::nullopt;
    } catch (const CLI::OptionNotFound&) {
        return std::string(argv[1]);
    }
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
    auto image = addImageCommand(app);
    auto disks = addDisksCommand(app);
    auto sessions = addSessionsCommand(app);
    app.footer(kExitStatusHelp);
    for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; }))
        command->footer(kExitStatusHelp);

    if (auto unknown = unknownSubcommand(app, argc, argv)) {
        fmt::print(stderr, "brightfold: unknown command \"{}\". Commands: scan, save, image, disks, sessions (see brightfold --help).\n", *unknown);
        return kNothingDone;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) // --help, --version
            return app.exit(error);
        // CLI11 names the option or argument it did not expect or missed.
        fmt::print(stderr, "brightfold: {}\nRun brightfold --help for more information.\n", error.what());
        return kNothingDone;
    }
    try {
        if (app.got_subcommand("scan"))
            return scan();
        if (app.got_subcommand("save"))
            return save();
        if (app.got_subcommand("image"))
            return image();
        if (app.got_subcommand("disks"))
            return disks();
        if (app.got_subcommand("sessions"))
            return sessions();
    } catch (const std::exception& error) {
        fmt::print(stderr, "brightfold: {}\n", error.what());
        return kNothingDone;
    }
    return kNothingDone;
}
