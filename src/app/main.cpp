// brightfold-recover: the desktop application. One model, one updater, the main
// window; the launch actions run when the window first shows.

#include "app/DesktopApplication.hpp"

#include <QApplication>

using namespace brightfold;

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    DesktopApplication::nameApplication();
    DesktopApplication application(QApplication::arguments());
    application.window().show();
    return QApplication::exec();
}
