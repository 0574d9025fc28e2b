#pragma once

#include <QProcessEnvironment>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <optional>

namespace brightfold {

/// The automation and test keys, read once at start-up. Each comes from the
/// stored settings (organisation "Brightfold", application "Brightfold Recover"),
/// is overridden by an environment variable of the same name, and that by a
/// command-line option.
struct AppSettings {
    /// BFTestVolume: stored scans are hidden and the disk list is the disk image
    /// mounted under this volume name. No option on the command line.
    std::optional<QString> testVolume;
    /// BFOpenRecoveryFolder, --open-recovery-folder PATH: browse that folder.
    std::optional<QString> openRecoveryFolder;
    /// BFAutoScanImage, --auto-scan-image PATH: scan that image at start-up.
    std::optional<QString> autoScanImage;
    /// BFOpenLatestScan, --open-latest-scan: browse the newest stored scan.
    bool openLatestScan { false };
    /// BFBrowseAutoScan, --browse-auto-scan: when the BFAutoScanImage scan has
    /// finished, browse what it found (the sample card's photos on `make run`).
    bool browseAutoScan { false };

    static constexpr const char* kOrganisation = "Brightfold";
    static constexpr const char* kApplication = "Brightfold Recover";

    /// From the user's settings, this process's environment and `arguments`
    /// (the program's arguments, its name first; unknown ones are left alone).
    static AppSettings load(const QStringList& arguments);
    /// From the given sources. A boolean is set by "1", "true" or "yes" in any
    /// case; an option that lacks its value is ignored.
    static AppSettings read(const QSettings& settings, const QProcessEnvironment& environment, const QStringList& arguments);
};

}
