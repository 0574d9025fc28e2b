#include "ui/FileDialogPanels.hpp"

#include <QFileDialog>
#include <QStandardPaths>

namespace brightfold {

namespace {

std::optional<QString> runDialog(QWidget* parent, const QString& title, const QString& message, QFileDialog::FileMode mode)
{
    QFileDialog dialog(parent, title, QStandardPaths::writableLocation(QStandardPaths::HomeLocation));
    dialog.setFileMode(mode);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (mode == QFileDialog::Directory)
        dialog.setOption(QFileDialog::ShowDirsOnly);
    // The desktop's own dialogs show only a title: the message is the title's
    // second half there, and what screen readers announce.
    dialog.setWindowTitle(title + QStringLiteral(" — ") + message);
    dialog.setAccessibleDescription(message);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

}

std::optional<QString> FileDialogPanels::chooseFile(const QString& title, const QString& message)
{
    return runDialog(m_parent, title, message, QFileDialog::ExistingFile);
}

std::optional<QString> FileDialogPanels::chooseFolder(const QString& title, const QString& message)
{
    return runDialog(m_parent, title, message, QFileDialog::Directory);
}

}
