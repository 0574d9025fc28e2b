#pragma once

#include <QFuture>
#include <QString>

#include <optional>

namespace brightfold {

/// A file or folder chooser's texts. A folder chooser offers folders only and
/// lets the user create a new one.
struct ChooserRequest {
    QString title;
    QString message; ///< may be empty
    QString prompt;  ///< the confirm button ("Save Here"); empty for the chooser's own

    bool operator==(const ChooserRequest&) const = default;
};

/// A question whose yes does something the user cannot take back here: the
/// answer is no unless the user presses `action` (Return and Escape mean no).
struct Confirmation {
    QString title;
    QString question;
    QString explanation;
    QString action; ///< "Move to Trash"

    bool operator==(const Confirmation&) const = default;
};

/// What the models ask of the desktop: the user's choices, the file manager, the
/// default applications and the Trash. Choices never block the caller: each
/// returns a future that ends with the answer (continue with `.then(context, …)`).
/// The screens supply the desktop's own dialogs; tests answer through a stand-in.
/// Called on the interface thread, except moveToTrash.
class Desktop {
public:
    virtual ~Desktop() = default;

    /// One existing file, or nothing when the user cancels.
    virtual QFuture<std::optional<QString>> chooseFile(const ChooserRequest& request) = 0;
    /// One existing folder, or nothing when the user cancels.
    virtual QFuture<std::optional<QString>> chooseFolder(const ChooserRequest& request) = 0;
    /// True only when the user chose the question's action.
    virtual QFuture<bool> confirm(const Confirmation& question) = 0;
    /// Shows `path` selected in the file manager (or opens the folder that holds
    /// it when no file manager answers). Returns at once; failures are not reported.
    virtual void reveal(const QString& path) = 0;
    /// Opens the file with the application the desktop has for it. Returns at once.
    virtual void open(const QString& path) = 0;
    /// Moves the file to the user's Trash: true only when it left its place and
    /// verifiably arrived there. Blocks on the disk; safe from any thread (the
    /// recovery jobs call it in the background).
    virtual bool moveToTrash(const QString& path) = 0;
};

}
