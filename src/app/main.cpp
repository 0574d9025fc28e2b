// brightfold-recover: the desktop application. One model, one updater, the main
// window; the launch actions run when the window first shows.

#include "ui/AppUpdater.hpp"
#include "ui/DesktopServices.hpp"
#include "ui/MainWindow.hpp"
#include "ui/Symbols.hpp"
#include "workflow/AppModel.hpp"
#include "workflow/AppSettings.hpp"
#include "device/DeviceAccess.hpp"

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

    AppSettings settings = AppSettings::load(QApplication::arguments());
    auto desktop = std::make_shared<DesktopServices>();
    AppModel model(settings, std::make_shared<SystemDeviceAccess>(), desktop);
    AppUpdater updater(AppBundle::running());
    MainWindow window(model, updater, settings);
    desktop->setParent(&window);

    window.show();
    return QApplication::exec();
}
