#include "ui/LaunchActions.hpp"

#include "workflow/AppModel.hpp"

#include <QFileInfo>

#include <memory>

namespace brightfold {

namespace {

/// Opens the browser on the scan just started once it is stored; a scan that
/// fails stays on its failed screen.
void browseWhenDone(AppModel& model)
{
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(&model, &AppModel::stageChanged, &model, [&model, connection] {
        const AppStage& stage = model.stage();
        if (stage.kind != AppStage::Kind::done && stage.kind != AppStage::Kind::failed)
            return;
        QObject::disconnect(*connection);
        if (stage.kind == AppStage::Kind::done)
            model.enterBrowser(BrowseTarget::session(stage.session->id));
    });
}

}

void runLaunchActions(AppModel& model, const AppSettings& settings)
{
    model.refreshDisks();
    if (settings.openRecoveryFolder)
        model.enterBrowser(BrowseTarget::folder(QFileInfo(*settings.openRecoveryFolder).absoluteFilePath()));
    if (settings.autoScanImage) {
        model.setSource(AppSource { ImageFile { QFileInfo(*settings.autoScanImage).absoluteFilePath() } });
        model.start();
        if (settings.browseAutoScan)
            browseWhenDone(model);
    }
    if (settings.openLatestScan)
        model.browseLatestScan();
}

}
