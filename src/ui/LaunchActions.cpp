#include "ui/LaunchActions.hpp"

#include "workflow/AppModel.hpp"

#include <QFileInfo>

namespace brightfold {

void runLaunchActions(AppModel& model, const AppSettings& settings)
{
    model.refreshDisks();
    if (settings.openRecoveryFolder)
        model.enterBrowser(BrowseTarget::folder(QFileInfo(*settings.openRecoveryFolder).absoluteFilePath()));
    if (settings.autoScanImage) {
        model.setSource(AppSource { ImageFile { QFileInfo(*settings.autoScanImage).absoluteFilePath() } });
        model.start();
    }
    if (settings.openLatestScan && !model.recentScans().empty())
        model.enterBrowser(BrowseTarget::session(model.recentScans().front().id));
}

}
