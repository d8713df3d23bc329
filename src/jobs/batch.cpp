#include "jobs/batch.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/casefold.h"
#include "common/errors.h"
#include "common/gbk.h"
#include "common/progress_log.h"
#include "common/textfile.h"
#include "jobs/job.h"
#include "jobs/job_frame.h"
#include "merge/account_merge.h"
#include "merge/chardata_merge.h"
#include "merge/charindex_merge.h"
#include "merge/upgrade.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "platform/ini.h"
#include "sidedata/friend_merge.h"
#include "sidedata/guild_merge.h"
#include "sidedata/member_merge.h"
#include "sidedata/petstall_merge.h"
#include "sidedata/variable_merge.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

// The configuration file, read once, in the encoding it was written in.
class BatchConfig {
 public:
  explicit BatchConfig(const fs::path& file) {
    std::string bytes;
    if (auto ec = platform::ReadWholeFile(file, bytes)) throw FileError(file, ec.message());
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    bool ascii = true;
    for (const char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    utf8_ = !ascii && platform::IsValidUtf8(bytes);
    ini_.emplace(SplitLines(bytes), utf8_);
  }

  // The value of a key (written here in UTF-8), with the zone number behind it when given.
  std::string Text(std::string_view key, int zone = 0) const {
    return ini_->ReadString(Encode("多区合并"), Encode(key) + Number(zone), "");
  }
  int32_t Integer(std::string_view key) const {
    return ini_->ReadInteger(Encode("多区合并"), Encode(key), 0);
  }
  // A value as a host path; empty for an empty value.
  fs::path Path(std::string_view key, int zone = 0) const {
    const std::string text = Text(key, zone);
    if (text.empty() || utf8_) return platform::PathFromUtf8(text);
    // GBK text; bytes that are not GBK are taken as they stand.
    return platform::PathFromUtf8(platform::GbkToUtf8(text).value_or(text));
  }

 private:
  std::string Encode(std::string_view utf8) const { return utf8_ ? std::string(utf8) : Gbk(utf8); }
  static std::string Number(int zone) { return zone == 0 ? std::string() : std::to_string(zone); }

  bool utf8_ = false;
  std::optional<platform::IniText> ini_;
};

// The file-name part of a path text: after the last "/", "\" or ":".
bool NamedLike(const std::string& pathText, std::string_view name) {
  const size_t cut = pathText.find_last_of("/\\:");
  return EqualsFolded(cut == std::string::npos ? pathText : pathText.substr(cut + 1), name);
}

bool IsFile(const fs::path& p) {
  return !p.empty() && platform::CurrentEnv()->IsRegularFile(p);
}
bool IsFolder(const fs::path& p) {
  return !p.empty() && platform::CurrentEnv()->IsDirectory(p);
}

struct SideMerge {
  const char* mainKey;
  const char* slaveKey;
  bool files;  // member files rather than folders
  const char* line;
  bool (*merge)(const fs::path&, const fs::path&, int);
};

// The side-data merges of a slave zone, in their order.
const SideMerge kSideMerges[] = {
    {"主行会目录", "从区行会目录", false, "处理行会数据...", MergeGuildsOfZone},
    {"主任务目录", "从区任务目录", false, "处理任务数据...", MergePetStallsOfZone},
    {"主变量目录", "从区变量目录", false, "处理变量数据...", MergeVariablesOfZone},
    {"主好友目录", "从区好友目录", false, "处理好友数据...", MergeFriendsOfZone},
    {"主宗族目录", "从区宗族目录", false, "处理宗族数据...", MergeClansOfZone},
    {"主会员文件", "从区会员文件", true, "处理会员数据...", MergeMembersOfZone},
};

// Every folder a batch may change files in: those of the database files and the side-data
// folders of the main zone and of each slave zone.
std::vector<fs::path> FoldersOf(const BatchConfig& config, int slaveCount) {
  std::vector<fs::path> folders;
  auto sides = [&](int zone) {
    for (const SideMerge& side : kSideMerges) {
      const fs::path p = zone == 0 ? config.Path(side.mainKey) : config.Path(side.slaveKey, zone);
      if (p.empty()) continue;
      if (side.files) {
        folders.push_back(FolderOfFile(p));
      } else {
        folders.push_back(p);
        folders.push_back(p / "Guilds");
        folders.push_back(p / "Clans");
      }
    }
  };
  for (const char* key : {"主区id", "主区hum", "主区kem"}) {
    const fs::path p = config.Path(key);
    if (!p.empty()) folders.push_back(FolderOfFile(p));
  }
  sides(0);
  // Slave zone numbers beyond any sensible count are not listed: the batch stops at the first
  // zone it cannot find anyway.
  for (int zone = 1; zone <= std::min(slaveCount, 10000); ++zone) {
    for (const char* key : {"从区id", "从区hum", "从区kem"}) {
      const fs::path p = config.Path(key, zone);
      if (!p.empty()) folders.push_back(FolderOfFile(p));
    }
    sides(zone);
  }
  return folders;
}

void Run(const BatchConfig& config, BatchOutcome& outcome) {
  outcome.slaveCount = config.Integer("从区个数");
  // The whole batch is one job: its files are switched in together at its end, and a batch
  // that ends early changes nothing.
  JobFrame frame(
      {"batch", FolderOfFile(config.Path("主区kem")), true, FoldersOf(config, outcome.slaveCount)});
  const fs::path mainId = config.Path("主区id");
  const fs::path mainHum = config.Path("主区hum");
  const fs::path mainKem = config.Path("主区kem");
  for (const auto& [file, message] :
       {std::pair{mainId, "主区文件Id.db不存在"}, std::pair{mainHum, "主区文件Hum.db不存在"},
        std::pair{mainKem, "主区文件Kem.db不存在"}})
    if (!IsFile(file)) {
      Log().LogLine(Gbk(message));
      return;
    }

  JobBackups backups;  // every first backup survives the batch
  Log().LogLine(Gbk("升级数据库文件..."));
  if (!UpgradeToCurrentLayout(mainKem, backups, "主区数据升级失败!", "主区数据升级完毕!")) return;

  for (int zone = 1; zone <= outcome.slaveCount; ++zone) {
    Log().LogLine(Gbk("处理个人数据[从区") + std::to_string(zone) + Gbk("]..."));
    const std::string idText = config.Text("从区id", zone);
    const std::string humText = config.Text("从区hum", zone);
    const std::string kemText = config.Text("从区kem", zone);
    for (const auto& [text, name, message] :
         {std::tuple{idText, "id.db", "请确认从区帐号文件名称为Id.db"},
          std::tuple{humText, "Hum.db", "请确认从区角色文件名称为Hum.db"},
          std::tuple{kemText, "Kem.db", "请确认从区数据文件名称为Kem.db"}})
      if (!NamedLike(text, name)) {
        Log().LogLine(Gbk(message));
        return;
      }
    const fs::path slaveId = config.Path("从区id", zone);
    const fs::path slaveHum = config.Path("从区hum", zone);
    const fs::path slaveKem = config.Path("从区kem", zone);
    for (const auto& [file, message] : {std::pair{slaveId, "从区数据库文件Id.db不存在"},
                                        std::pair{slaveHum, "从区数据库文件Hum.db不存在"},
                                        std::pair{slaveKem, "从区数据库文件Kem.db不存在"}})
      if (!IsFile(file)) {
        Log().LogLine(Gbk(message));
        return;
      }
    if (!UpgradeToCurrentLayout(slaveKem, backups, "从区数据升级失败!", "从区数据升级完毕!"))
      return;
    // The zone's merges do not change its character data file: its backup copy is written
    // while they run.
    fs::path slaveIndex = slaveKem;
    slaveIndex += ".idx";
    frame.CopyBackupsNow({slaveKem, slaveIndex});

    if (!MergeAccountsOfZone(mainId, slaveId, zone)) continue;
    if (!MergeCharacterIndexOfZone(mainHum, slaveHum, zone)) continue;
    // From here a zone is merged whole or the batch ends: its accounts and characters are in.
    if (!MergeCharacterDataOfZone(mainKem, slaveKem, zone))
      throw FileError(slaveKem, "the character data files cannot be opened");
    for (const SideMerge& side : kSideMerges) {
      const fs::path mainSide = config.Path(side.mainKey);
      const fs::path slaveSide = config.Path(side.slaveKey, zone);
      const bool present = side.files ? IsFile(mainSide) && IsFile(slaveSide)
                                      : IsFolder(mainSide) && IsFolder(slaveSide);
      if (!present) continue;
      Log().LogLine(Gbk(side.line));
      // False says there was nothing of this kind to merge (a folder without its list); an
      // error that ends a side-data merge ends the batch.
      side.merge(mainSide, slaveSide, zone);
    }
    ++outcome.processed;
  }
  frame.Prepare();
  Log().LogLine(Gbk("多区合并完成,共处理从区文件") + std::to_string(outcome.processed) + Gbk("个"));
  frame.LogRestorePoint();
  Log().SaveLog();
  frame.Commit();
  outcome.summaryLogged = true;
}

}  // namespace

BatchOutcome RunBatch(const fs::path& configFile) {
  BatchOutcome outcome;
  try {
    const BatchConfig config(configFile);
    Run(config, outcome);
    // A batch that ended early kept nothing of what it merged.
    if (!outcome.summaryLogged) outcome.processed = 0;
  } catch (const std::exception& e) {
    LogJobAbort(e);  // an error never ends the batch silently
    outcome.summaryLogged = false;
    outcome.aborted = true;
    outcome.processed = 0;
  }
  return outcome;
}

void TBatImportThread::Create(fs::path configFile, std::function<void(const BatchOutcome&)> done) {
  JobQueue::Instance().SubmitWork([configFile = std::move(configFile), done = std::move(done)] {
    const BatchOutcome outcome = RunBatch(configFile);
    if (done) done(outcome);
  });
}

}  // namespace zkq
