#pragma once

namespace brightfold {

class AppModel;
struct AppSettings;

/// What the application does once its window first shows, in this order: list
/// the disks; browse the folder of BFOpenRecoveryFolder; scan the image of
/// BFAutoScanImage (and browse its files once it is stored when BFBrowseAutoScan
/// is set); browse the newest stored scan when BFOpenLatestScan is set and there
/// is one. The paths are not checked here: the operations they call report their
/// own failures.
void runLaunchActions(AppModel& model, const AppSettings& settings);

}
