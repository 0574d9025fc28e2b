#pragma once

#include "carve/CarveProgress.hpp"
#include "workflow/AppStage.hpp"

#include <QString>

#include <optional>

namespace brightfold {

/// The step bar's position for a stage, over "Card", "Scan", "Review", "Save":
/// 4 (every step completed) when browsing a folder of saved files.
int stepIndex(const AppStage& stage);

/// The line under the step bar. While scanning it shows the whole percent
/// reached (rounded down, so 99.9 % shows 99) and the files found so far.
QString stepStatus(const AppStage& stage, const std::optional<CarveProgress>& progress);

}
