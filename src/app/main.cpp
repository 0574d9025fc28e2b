// brightfold-recover: the desktop application. One model, one updater, the main
// window; the launch actions run when the window first shows.

#include "ScreenshotTour.hpp"

#include "ui/AppUpdater.hpp"
#include "ui/FileDialogPanels.hpp"
#include "ui/MainWindow.hpp"
#include "ui/Symbols.hpp"
#include "workflow/AppModel.hpp"
#include "workflow/AppSettings.hpp"
#include "workflow/DeviceAccess.hpp"

#include <QApplication>

#include <memory>

using namespace brightfold;

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QString::fromLatin1(AppSettings::kOrganisation));
    QApplication::setApplicationName(QString::fromLatin1(AppSettings::kApplication));
    QApplication::setApplicationVersion(QStringLiteral(BRIGHTFOLD_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.brightfold.Recover"));
    QApplication::setWindowIcon(Symbols::applicationIcon());

    std::optional<ScreenshotTour::Options> tour = ScreenshotTour::optionsFrom(QApplication::arguments());
    if (tour)
        ScreenshotTour::preparePalette(*tour);

    AppSettings settings = AppSettings::load(QApplication::arguments());
    auto panels = std::make_shared<FileDialogPanels>();
    AppModel model(settings, std::make_shared<SystemDeviceAccess>(), panels);
    AppUpdater updater(AppBundle::running());
    MainWindow window(model, updater, settings);
    panels->setParent(&window);

    std::unique_ptr<ScreenshotTour> guide;
    if (tour)
        guide = std::make_unique<ScreenshotTour>(*tour, model, window);
    window.show();
    return QApplication::exec();
}
