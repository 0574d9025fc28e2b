#include "app/DesktopApplication.hpp"

#include "device/DeviceAccess.hpp"
#include "ui/DesktopServices.hpp"
#include "ui/Symbols.hpp"

#include <QApplication>

namespace brightfold {

void DesktopApplication::nameApplication()
{
    QApplication::setOrganizationName(QString::fromLatin1(AppSettings::kOrganisation));
    QApplication::setApplicationName(QString::fromLatin1(AppSettings::kApplication));
    QApplication::setApplicationVersion(QStringLiteral(BRIGHTFOLD_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.brightfold.Recover"));
    QApplication::setWindowIcon(Symbols::applicationIcon());
}

DesktopApplication::DesktopApplication(const QStringList& arguments)
    : m_settings(AppSettings::load(arguments))
    , m_desktop(std::make_shared<DesktopServices>())
    , m_model(m_settings, std::make_shared<SystemDeviceAccess>(), m_desktop)
    , m_updater(AppBundle::running())
    , m_window(m_model, m_updater, m_settings)
{
    // The desktop's dialogs open over the main window.
    m_desktop->setParent(&m_window);
}

DesktopApplication::~DesktopApplication() = default;

}
