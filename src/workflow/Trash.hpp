#pragma once

#include <QString>

namespace brightfold {

/// The freedesktop Trash, trusted only as far as it can be checked.
class Trash {
public:
    Trash() = delete;

    /// Moves the file to the user's Trash. True only when the file left its place
    /// and arrived at an absolute path that exists. Qt 6.4 reports success when
    /// it cannot set up the Trash under the data folder and drops the file into
    /// the working folder instead; such a file is put back where it was and the
    /// move counts as failed. The data folder is created first, so a fresh
    /// account still has a Trash.
    static bool moveToTrash(const QString& path);
};

}
