#include "workflow/StepStatus.hpp"

#include "wording/Wording.hpp"

#include <algorithm>
#include <cstdint>

namespace brightfold {

int stepIndex(const AppStage& stage)
{
    switch (stage.kind) {
    case AppStage::Kind::setup:
    case AppStage::Kind::failed:
        return 0;
    case AppStage::Kind::scanning:
        return 1;
    case AppStage::Kind::done:
        return 2;
    case AppStage::Kind::browsing:
        return stage.target && stage.target->kind == BrowseTarget::Kind::folder ? 4 : 2;
    }
    return 0;
}

namespace {

QString fileCount(uint64_t count)
{
    return QString::fromStdString(countText(static_cast<int64_t>(std::min<uint64_t>(count, INT64_MAX)), "file"));
}

}

QString stepStatus(const AppStage& stage, const std::optional<CarveProgress>& progress)
{
    switch (stage.kind) {
    case AppStage::Kind::setup:
        return QStringLiteral("Choose the card, pick the kinds of files to look for, and start the scan. "
                              "Brightfold Recover only reads the card and never writes to it.");
    case AppStage::Kind::scanning:
        if (!progress)
            return QStringLiteral("Opening ") + stage.sourceName + QStringLiteral("…");
        return QStringLiteral("Scanning ") + stage.sourceName + QStringLiteral(": ") + QString::number(wholePercent(progress->bytesScanned, progress->totalBytes))
            + QStringLiteral("% · ") + fileCount(static_cast<uint64_t>(std::max<int64_t>(progress->filesFound, 0)))
            + QStringLiteral(" found so far.");
    case AppStage::Kind::done: {
        size_t found = stage.session ? stage.session->report.files.size() : 0;
        if (found == 0)
            return QStringLiteral("Nothing recoverable was found on this card.");
        return QStringLiteral("Found ") + fileCount(found) + QStringLiteral(". Review them and pick the ones you want to keep.");
    }
    case AppStage::Kind::failed:
        return QStringLiteral("The scan couldn't start. See the message below.");
    case AppStage::Kind::browsing:
        if (stage.target && stage.target->kind == BrowseTarget::Kind::folder)
            return QStringLiteral("Saved. Your files are in the folder shown below.");
        return QStringLiteral("Select the files you want to keep, then save them to this computer (not to the card).");
    }
    return {};
}

}
