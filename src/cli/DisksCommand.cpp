#include "cli/Commands.hpp"

namespace brightfold::cli {

std::function<int()> addDisksCommand(CLI::App& app)
{
    app.add_subcommand("disks", "List the memory cards and external disks that can be scanned");
    return [] {
        throw CommandError("Listing disks is not available yet.");
        return 1;
    };
}

}
