#pragma once

#include <QString>

#include <optional>

namespace brightfold {

/// The system's open panels, shown modally on the interface thread. The screens
/// supply file dialogs; tests answer with fixed paths.
class OpenPanels {
public:
    virtual ~OpenPanels() = default;

    /// One existing file, any type; no value when the user cancels.
    virtual std::optional<QString> chooseFile(const QString& title, const QString& message) = 0;
    /// One existing folder; no value when the user cancels.
    virtual std::optional<QString> chooseFolder(const QString& title, const QString& message) = 0;
};

}
