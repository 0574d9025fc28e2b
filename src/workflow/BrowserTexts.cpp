#include "workflow/BrowserTexts.hpp"

#include "wording/Wording.hpp"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QStringList>

#include <algorithm>
#include <climits>

namespace brightfold {

int clampedCount(size_t count)
{
    return static_cast<int>(std::min<size_t>(count, INT_MAX));
}

QString lastComponent(const QString& path)
{
    return QFileInfo(QDir::cleanPath(path)).fileName();
}

namespace {

/// "file" for exactly one, "files" otherwise.
QString files(int count)
{
    return QString::fromStdString(plural(count, "file"));
}

}

QString saveChooserTitle(int count)
{
    return QStringLiteral("Save %1 File%2").arg(count).arg(count == 1 ? "" : "s");
}

QString copyChooserTitle(int count)
{
    return QStringLiteral("Copy %1 Selected Files").arg(count);
}

QString savedStatus(int saved, const QString& folderName, int changed, int failed, int notWritten)
{
    QString text = QStringLiteral("Saved %1 %2 to %3.").arg(saved).arg(files(saved), folderName);
    if (changed > 0)
        text += QStringLiteral(" %1 skipped: the card has changed since the scan.").arg(changed);
    if (failed > 0)
        text += QStringLiteral(" %1 couldn't be read.").arg(failed);
    if (notWritten > 0)
        text += QStringLiteral(" %1 couldn't be written.").arg(notWritten);
    return text;
}

QString destinationFailureMessage(const QString& reason, int saved, int asked, bool reportWritten)
{
    QString text = reason == QStringLiteral("No space left on device") ? QStringLiteral("The destination is full.")
                                                                       : QStringLiteral("The destination could not be written to: %1.").arg(reason);
    text += QStringLiteral(" %1 of %2 %3 were saved whole.").arg(saved).arg(asked).arg(files(asked));
    if (!reportWritten)
        text += QStringLiteral(" No report of the saved files was written.");
    return text;
}

QString copiedStatus(int copied, int failed, const QString& folderName)
{
    if (failed == 0)
        return QStringLiteral("Copied %1 %2 to %3.").arg(copied).arg(files(copied), folderName);
    return QStringLiteral("Copied %1; %2 failed.").arg(copied).arg(failed);
}

QString trashedStatus(int moved, int failed)
{
    QString text = QStringLiteral("Moved %1 unselected %2 to the Trash").arg(moved).arg(files(moved));
    if (failed > 0)
        text += QStringLiteral("; %1 could not be moved").arg(failed);
    return text + QLatin1Char('.');
}

QString keepOnlySelectedQuestion(int unselected)
{
    return QStringLiteral("Move %1 unselected files to the Trash?").arg(unselected);
}

QString keepOnlySelectedExplanation(int selected)
{
    return QStringLiteral("Only the %1 selected files will remain in the recovery folder. "
                          "Trashed files can be restored from the Trash.")
        .arg(selected);
}

QString itemToolTip(const RecoveredItem& item)
{
    QStringList lines { item.displayName };
    if (!item.carved)
        return lines.join('\n');
    const CarvedFile& file = *item.carved;
    if (file.folder && !file.folder->empty())
        lines << QStringLiteral("In ") + QString::fromStdString(*file.folder);
    if (file.modified) {
        // Local time as the card kept it; an offset, when there is one, is the volume's own.
        QDateTime time = QDateTime::fromString(QString::fromStdString(*file.modified), Qt::ISODate);
        if (time.isValid())
            lines << QStringLiteral("Modified ") + QLocale().toString(time, QLocale::ShortFormat);
    }
    if (file.runs && file.runs->size() > 1)
        lines << QStringLiteral("Put together from %1 pieces").arg(file.runs->size());
    return lines.join('\n');
}

}
