// Restore points: the list a job leaves beside the zone's files of what its switch changed and
// where the originals are kept, so that `restore` can put them back.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace zkq::platform {

struct RestoreEntry {
  enum class Kind {
    kReplaced,  // `target` was replaced; its original is `backup`
    kCreated,   // `target` did not exist before the job
    kDeleted,   // `target` was removed; its original is `backup`
    kMkdir,     // the folder `target` did not exist before the job
    kRmdir,     // the folder `target` was removed
  };
  Kind kind = Kind::kCreated;
  std::filesystem::path target;
  std::filesystem::path backup;
};

struct RestorePoint {
  std::filesystem::path list;  // the restore point's list file
  std::string time;            // "yyyy-MM-dd HH:mm:ss", local time of the job
  std::string job;             // the job's name ("server", "clean", "batch", "restore")
  std::vector<RestoreEntry> entries;
};

std::string EncodeRestorePoint(const RestorePoint& point);
// Nullopt for a list that is damaged or cut off.
std::optional<RestorePoint> DecodeRestorePoint(std::string_view bytes);

// The name of a restore point list for a job started at `stamp` ("yyyyMMdd-HHmmss"), with
// `number` > 1 for a later one of the same second.
std::string RestorePointName(std::string_view stamp, int number);

// The restore points whose lists lie in `dir`, newest first. Lists that cannot be read or are
// damaged are reported in `damaged` and left out.
std::vector<RestorePoint> ListRestorePoints(const std::filesystem::path& dir,
                                            std::vector<std::filesystem::path>* damaged = nullptr);

}  // namespace zkq::platform
