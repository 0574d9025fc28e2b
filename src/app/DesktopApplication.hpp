#pragma once

#include "ui/AppUpdater.hpp"
#include "ui/MainWindow.hpp"
#include "workflow/AppModel.hpp"
#include "workflow/AppSettings.hpp"

#include <QStringList>

#include <memory>

namespace brightfold {

class DesktopServices;

/// The application as it starts for the user: the settings from its command
/// line, one model over the system's disks and the desktop, the updater and the
/// main window, not shown yet. Made after the QApplication.
class DesktopApplication {
public:
    /// Gives the running QApplication the names, version and icon the desktop shows.
    static void nameApplication();

    explicit DesktopApplication(const QStringList& arguments);
    ~DesktopApplication();

    AppModel& model() { return m_model; }
    MainWindow& window() { return m_window; }

private:
    AppSettings m_settings;
    std::shared_ptr<DesktopServices> m_desktop;
    AppModel m_model;
    AppUpdater m_updater;
    MainWindow m_window;
};

}
