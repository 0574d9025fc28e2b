#pragma once

#include "carve/export/CarveExporter.hpp"

namespace brightfold::cli {

/// The exit status of every command, so a script can tell the cases apart.
enum ExitStatus : int {
    kAllDone = 0,
    kNothingDone = 1,  ///< bad input, a source that cannot be read, a refused destination
    kPartlyDone = 2,   ///< some files not saved (failed or changed), or the report not written
    kInterrupted = 130, ///< Ctrl-C (128 + SIGINT)
    kTerminated = 143,  ///< SIGTERM (128 + SIGTERM)
};

/// The exit statuses as --help lists them.
inline constexpr const char* kExitStatusHelp
    = "Exit status (the same for every command):\n"
      "  0    all done\n"
      "  1    nothing done: bad input, a source that cannot be read, or a destination refused\n"
      "  2    partly done: some files were not saved (failed or changed), or the report could not be written\n"
      "  130  interrupted by Ctrl-C; 143 stopped by SIGTERM (what was saved is whole)";

/// 128 + the signal, the shell's own convention.
inline int exitStatusForSignal(int signal) { return 128 + signal; }

inline int exitStatusFor(ExportOutcome outcome)
{
    switch (outcome) {
    case ExportOutcome::complete:
        return kAllDone;
    case ExportOutcome::partial:
        return kPartlyDone;
    case ExportOutcome::nothingSaved:
        return kNothingDone;
    case ExportOutcome::cancelled:
        return kInterrupted;
    }
    return kNothingDone;
}

}
