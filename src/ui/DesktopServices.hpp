#pragma once

#include "workflow/BrowserDesktop.hpp"

class QWidget;

namespace brightfold {

/// The desktop as the browser uses it: the file dialog for folders, the file
/// manager for showing a file, and the default application for opening one.
class DesktopServices final : public BrowserDesktop {
public:
    explicit DesktopServices(QWidget* parent = nullptr) : m_parent(parent) { }

    std::optional<QString> chooseFolder(const FolderRequest& request) override;
    /// Asks the file manager (org.freedesktop.FileManager1) to show the file
    /// selected; when none answers, opens the folder that holds it.
    void reveal(const QString& path) override;
    /// Opens the file with the application the desktop has for it.
    static void open(const QString& path);

private:
    QWidget* m_parent;
};

}
