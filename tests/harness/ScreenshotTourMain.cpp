// brightfold-screenshot-tour: the desktop application as it starts for the user,
// walked through every screen by ScreenshotTour for `make screenshots`.
//
//   brightfold-screenshot-tour --screenshot-tour FOLDER --tour-image IMAGE --tour-folder SAVED
//       [--tour-palette light|dark] [--tour-size default|minimum] [--tour-prefix PREFIX]

#include "ScreenshotTour.hpp"

#include "device/DeviceAccess.hpp"
#include "ui/AppUpdater.hpp"
#include "ui/DesktopServices.hpp"
#include "ui/MainWindow.hpp"
#include "ui/Symbols.hpp"
#include "workflow/AppModel.hpp"
#include "workflow/AppSettings.hpp"

#include <QApplication>

#include <cstdio>
#include <memory>

using namespace brightfold;

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    std::optional<ScreenshotTour::Options> tour = ScreenshotTour::optionsFrom(QApplication::arguments());
    if (!tour) {
        std::fputs("usage: brightfold-screenshot-tour --screenshot-tour FOLDER --tour-image IMAGE --tour-folder SAVED "
                   "[--tour-palette light|dark] [--tour-size default|minimum] [--tour-prefix PREFIX]\n",
            stderr);
        return 2;
    }
    QApplication::setOrganizationName(QString::fromLatin1(AppSettings::kOrganisation));
    QApplication::setApplicationName(QString::fromLatin1(AppSettings::kApplication));
    QApplication::setDesktopFileName(QStringLiteral("org.brightfold.Recover"));
    QApplication::setWindowIcon(Symbols::applicationIcon());
    ScreenshotTour::preparePalette(*tour);

    AppSettings settings = AppSettings::load(QApplication::arguments());
    auto desktop = std::make_shared<DesktopServices>();
    AppModel model(settings, std::make_shared<SystemDeviceAccess>(), desktop);
    AppUpdater updater(AppBundle::running());
    MainWindow window(model, updater, settings);
    desktop->setParent(&window);
    ScreenshotTour guide(*tour, model, window);
    window.show();
    return QApplication::exec();
}
