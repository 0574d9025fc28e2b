#include "workflow/Trash.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace brightfold {

namespace {

/// Qt's fallback put the file at a path relative to the working folder, beside
/// an "info" folder holding its record: undo both.
void putBack(const QString& original, const QString& stray)
{
    const QFileInfo strayFile(QDir::current(), stray);
    if (!QFile::rename(strayFile.absoluteFilePath(), original))
        return;
    const QDir trashFolder(strayFile.absolutePath() + QStringLiteral("/.."));
    QFile::remove(trashFolder.filePath(QStringLiteral("info/%1.trashinfo").arg(strayFile.fileName())));
}

}

bool Trash::moveToTrash(const QString& path)
{
    // Without the data folder Qt 6.4 cannot set up the home Trash.
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    QString pathInTrash;
    if (!QFile::moveToTrash(path, &pathInTrash))
        return false;
    const bool arrived = QDir::isAbsolutePath(pathInTrash) && QFileInfo::exists(pathInTrash);
    if (arrived && !QFileInfo::exists(path))
        return true;
    if (!pathInTrash.isEmpty() && !QFileInfo::exists(path) && QFileInfo::exists(pathInTrash))
        putBack(path, pathInTrash);
    return false;
}

}
