#include "cleanup/storage_cleanup.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/gbk.h"
#include "common/progress_log.h"
#include "common/side_folders.h"
#include "dbfiles/filehumdb.h"
#include "dbfiles/layout.h"
#include "platform/codepage.h"
#include "platform/env.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

// The scan reports its position against this fixed total, not against the number of files.
constexpr int32_t kScanTotal = 100;

// True when the file is at least as long as a database header. A shorter file is no character
// index file: read as one it would hold no characters, and every personal file would go.
bool HoldsWholeHeader(const fs::path& indexFile) {
  std::error_code ec;
  const auto file = platform::CurrentEnv()->Open(indexFile, platform::OpenMode::kReadShared, ec);
  if (!file) return false;
  const int64_t size = file->Size();
  file->Close();
  return size >= static_cast<int64_t>(layout::dbheader::kSize);
}

// The path as GBK text for the log: the folder part converted as a host path, the file name as
// the GBK name the listing gave (it may be stored as raw GBK bytes under a UTF-8 folder).
std::string PathForLog(const fs::path& path, std::string_view gbkName) {
  const auto& whole = path.native();
  const size_t nameSize = path.filename().native().size();
  const fs::path folderPart = whole.substr(0, whole.size() - nameSize);
  return platform::PathToGbk(folderPart) + std::string(gbkName);
}

}  // namespace

bool CleanStorage(const fs::path& storageDir, const fs::path& indexFile) {
  platform::Env* env = platform::CurrentEnv();
  if (!env->IsDirectory(storageDir) || !env->IsRegularFile(indexFile)) return false;

  TFileHumDB characters(indexFile);
  const OpenedFile opened(characters);
  if (!opened.ok() || !HoldsWholeHeader(indexFile)) return false;
  characters.RequireWholeList();

  struct Doomed {
    fs::path path;
    std::string logText;
  };
  std::vector<Doomed> doomed;
  const std::string scanText = Gbk("扫描个人文件 ");
  int32_t position = 1;
  // A name without a GBK form is no character's name; ListFilesLogged logs it and leaves it out.
  for (const auto& entry : ListFilesLogged(storageDir)) {
    // A personal file is a regular file named by the character: no "." anywhere in the name.
    if (entry.gbkName.find('.') != std::string::npos || !env->IsRegularFile(entry.path)) continue;
    Log().LogProgress(scanText + entry.gbkName, position, kScanTotal);
    if (characters.FindName(entry.gbkName) < 0)
      doomed.push_back({entry.path, PathForLog(entry.path, entry.gbkName)});
    ++position;
  }

  const std::string deleteText = Gbk("删除个人文件 ");
  const auto total = static_cast<int32_t>(doomed.size());
  for (int32_t i = 0; i < total; ++i) {
    const Doomed& file = doomed[static_cast<size_t>(i)];
    // A file that cannot be deleted is passed over; it is still reported.
    (void)env->RemoveFile(file.path);
    Log().LogProgress(deleteText + file.logText, i + 1, total);
  }
  return true;
}

}  // namespace zkq
