#pragma once

#include "workflow/OpenPanels.hpp"

class QWidget;

namespace brightfold {

/// The open panels as the desktop's file dialogs, over `parent`, titled with the
/// panel's title and message.
class FileDialogPanels final : public OpenPanels {
public:
    explicit FileDialogPanels(QWidget* parent = nullptr) : m_parent(parent) { }
    void setParent(QWidget* parent) { m_parent = parent; }

    std::optional<QString> chooseFile(const QString& title, const QString& message) override;
    std::optional<QString> chooseFolder(const QString& title, const QString& message) override;

private:
    QWidget* m_parent;
};

}
