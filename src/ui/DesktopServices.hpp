#pragma once

#include "workflow/Desktop.hpp"

#include <QPointer>

class QWidget;

namespace brightfold {

/// The desktop as the application reaches it: the desktop's file dialogs and
/// message boxes as window-modal sheets over the main window, the file manager
/// over D-Bus (org.freedesktop.FileManager1), the default applications, and the
/// freedesktop Trash.
class DesktopServices final : public Desktop {
public:
    explicit DesktopServices(QWidget* parent = nullptr) : m_parent(parent) { }

    /// The window the dialogs belong to.
    void setParent(QWidget* parent) { m_parent = parent; }

    QFuture<std::optional<QString>> chooseFile(const ChooserRequest& request) override;
    QFuture<std::optional<QString>> chooseFolder(const ChooserRequest& request) override;
    QFuture<bool> confirm(const Confirmation& question) override;
    /// Asks the file manager without waiting for it; when none answers, opens the
    /// folder that holds the file.
    void reveal(const QString& path) override;
    void open(const QString& path) override;
    /// Qt 6.4 reports success when it cannot set up the home Trash and drops the
    /// file into the working folder instead: such a file is put back where it was
    /// and the move counts as failed. The data folder is created first, so a
    /// fresh account still has a Trash.
    bool moveToTrash(const QString& path) override;

private:
    QPointer<QWidget> m_parent;
};

}
