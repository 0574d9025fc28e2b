#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <stdexcept>

namespace brightfold::cli {

/// A user-facing failure: the message is printed as one line; nothing was done (exit status 1).
class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Each command adds its subcommand to `app` and returns what runs it.
std::function<int()> addScanCommand(CLI::App& app);
std::function<int()> addSaveCommand(CLI::App& app);
std::function<int()> addImageCommand(CLI::App& app);
std::function<int()> addDisksCommand(CLI::App& app);
std::function<int()> addSessionsCommand(CLI::App& app);

}
