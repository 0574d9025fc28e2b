// brightfold-screenshot-tour: the desktop application as it starts for the user,
// walked through every screen by ScreenshotTour for `make screenshots`.
//
//   brightfold-screenshot-tour --screenshot-tour FOLDER --tour-image IMAGE --tour-folder SAVED
//       [--tour-palette light|dark] [--tour-size default|minimum] [--tour-prefix PREFIX]

#include "ScreenshotTour.hpp"

#include "app/DesktopApplication.hpp"

#include <QApplication>

#include <cstdio>

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
    DesktopApplication::nameApplication();
    ScreenshotTour::preparePalette(*tour);

    DesktopApplication application(QApplication::arguments());
    ScreenshotTour guide(*tour, application.model(), application.window());
    application.window().show();
    return QApplication::exec();
}
