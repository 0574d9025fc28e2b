#pragma once

#include <chrono>
#include <string>

namespace brightfold {

/// `when` in UTC as an ISO 8601 time whose ":" are "-", fit for a folder name on any
/// file system: 2026-01-31T09-15-02Z.
std::string folderTimestamp(std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

}
