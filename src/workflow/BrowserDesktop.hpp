#pragma once

#include <QString>

#include <optional>

namespace brightfold {

/// A folder chooser's texts. The chooser offers folders only (files cannot be
/// chosen) and lets the user create a new folder.
struct FolderRequest {
    QString title;
    QString message; ///< may be empty
    QString prompt;  ///< the confirm button ("Save Here")

    bool operator==(const FolderRequest&) const = default;
};

/// What the browser asks of the desktop. The screens supply a file dialog and
/// the file manager; tests answer with fixed folders and record what is revealed.
/// Called on the interface thread only.
class BrowserDesktop {
public:
    virtual ~BrowserDesktop() = default;

    /// One existing folder, chosen modally; no value when the user cancels.
    virtual std::optional<QString> chooseFolder(const FolderRequest& request) = 0;
    /// Shows `path` selected in the file manager (or opens its folder when no
    /// file manager answers). Failures are not reported.
    virtual void reveal(const QString& path) = 0;
};

}
