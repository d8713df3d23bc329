#include "sidedata/guild_merge.h"

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/casefold.h"
#include "common/errors.h"
#include "common/gbk.h"
#include "common/host_names.h"
#include "common/paths.h"
#include "common/progress_log.h"
#include "common/rename_lists.h"
#include "common/textfile.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "platform/folder_copy.h"
#include "platform/folder_list.h"
#include "platform/ini.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

// What tells guilds and clans apart; the merge itself is the same.
struct ItemKind {
  const char* listFile;  // the list of names in the zone's directory
  const char* folder;    // the folder of the per-item files
  const char* section;   // INI section and key of the name in the settings file
  const char* key;
  const char* progressText;    // UTF-8, the entry's name follows
  const char* renameListStem;  // UTF-8, in the program folder; the zone number and ".txt" follow
  bool guildMemberLines;       // "+" member lines and guild names, or plain character names
};

constexpr ItemKind kGuilds{.listFile = "Guildlist.txt",
                           .folder = "Guilds",
                           .section = "Guild",
                           .key = "GuildName",
                           .progressText = "合并行会: ",
                           .renameListStem = "行会更名列表",
                           .guildMemberLines = true};
constexpr ItemKind kClans{.listFile = "Clanlist.txt",
                          .folder = "Clans",
                          .section = "Clan",
                          .key = "ClanName",
                          .progressText = "合并宗族: ",
                          .renameListStem = "宗族更名列表",
                          .guildMemberLines = false};

// "old|new": how one rename is recorded in the rename list.
constexpr std::string_view kRecordDivider = "|";
// SplitToken gives up on texts this long.
constexpr size_t kMaxSplitText = 33149;

fs::path RenameListPath(const ItemKind& kind, int zone) {
  std::string name = kind.renameListStem;
  if (zone != 0) name += std::to_string(zone);
  name += ".txt";
  return ProgramDir() / platform::PathFromUtf8(name);
}

// Names counted with ASCII letters folded; a name may stand more than once.
class FoldedNames {
 public:
  void Add(std::string_view name) { ++counts_[FoldGbkUpper(name)]; }
  void Remove(std::string_view name) {
    const auto it = counts_.find(FoldGbkUpper(name));
    if (it != counts_.end() && --it->second == 0) counts_.erase(it);
  }
  bool Contains(std::string_view name) const { return counts_.count(FoldGbkUpper(name)) != 0; }

 private:
  std::unordered_map<std::string, int> counts_;
};

// The entries of a per-item folder by their GBK names, kept up to date with the renames the
// merge makes there. A name stored as raw GBK bytes (a folder copied from a Windows server) is
// found like any other.
class FolderNames {
 public:
  // Lists the folder when it is one; a missing folder holds nothing.
  void List(const fs::path& dir) {
    if (!platform::CurrentEnv()->IsDirectory(dir)) return;
    for (auto& entry : platform::ListFolder(dir)) Add(std::move(entry.gbkName), entry.path);
  }
  // The entry of exactly this name, or null.
  const fs::path* Find(const std::string& gbkName) const {
    const auto it = exact_.find(gbkName);
    return it == exact_.end() ? nullptr : &it->second;
  }
  // True when an entry's name equals this one with ASCII letters folded.
  bool HoldsFolded(std::string_view gbkName) const { return folded_.Contains(gbkName); }
  void Add(std::string gbkName, fs::path path) {
    folded_.Add(gbkName);
    exact_.try_emplace(std::move(gbkName), std::move(path));
  }
  void Remove(const std::string& gbkName) {
    folded_.Remove(gbkName);
    exact_.erase(gbkName);
  }

 private:
  std::unordered_map<std::string, fs::path> exact_;
  FoldedNames folded_;
};

class ItemMerge {
 public:
  ItemMerge(const ItemKind& kind, const fs::path& mainDir, const fs::path& slaveDir, int zone)
      : kind_(kind),
        mainDir_(mainDir),
        slaveDir_(slaveDir),
        zone_(zone),
        mainListFile_(mainDir / kind.listFile),
        slaveListFile_(slaveDir / kind.listFile),
        slaveFolder_(slaveDir / kind.folder),
        mainFolder_(mainDir / kind.folder) {}

  bool Run();

 private:
  std::optional<std::string> FreeName(const std::string& name) const;
  void UpdateFiles(const std::string& oldName, const std::string& newName);
  void RenameFile(const std::string& oldName, const fs::path& from, const std::string& newName,
                  const fs::path& to);
  void RewriteMembers(const fs::path& file) const;
  std::string RenamedLine(const std::string& line) const;
  void CopyFolder(const std::vector<std::string>& mainNames,
                  const std::vector<std::string>& leftOut) const;

  const ItemKind& kind_;
  const fs::path mainDir_, slaveDir_;
  const int zone_;
  const fs::path mainListFile_, slaveListFile_, slaveFolder_, mainFolder_;

  TRenameList charRenames_;
  FoldedNames mainNames_, slaveNames_;
  FolderNames slaveFiles_, mainFiles_;
  // The renames of this run, "old|new", in the order they happened, and each split into the
  // old name and the new one for the member lines.
  std::vector<std::string> records_;
  std::vector<std::pair<std::string, std::string>> splitRecords_;
};

bool ItemMerge::Run() {
  platform::Env* env = platform::CurrentEnv();
  if (!env->IsDirectory(mainDir_) || !env->IsDirectory(slaveDir_) ||
      !env->IsRegularFile(slaveListFile_) || !env->IsDirectory(slaveFolder_))
    return false;

  charRenames_ = LoadRenameList(CharRenameListPath(zone_));
  std::vector<std::string> mainList;
  if (env->Exists(mainListFile_)) mainList = ReadTextLines(mainListFile_);
  std::vector<std::string> slaveList = ReadTextLines(slaveListFile_);
  for (const auto& name : mainList) mainNames_.Add(name);
  for (const auto& name : slaveList) slaveNames_.Add(name);
  slaveFiles_.List(slaveFolder_);
  mainFiles_.List(mainFolder_);

  const std::string progressText = Gbk(kind_.progressText);
  std::vector<std::string> leftOut;
  int32_t position = 0;
  for (size_t i = slaveList.size(); i-- > 0;) {
    const std::string entry = slaveList[i];
    ++position;
    Log().LogProgress(progressText + entry, position, static_cast<int32_t>(slaveList.size()));
    if (entry.empty()) continue;
    if (!mainNames_.Contains(entry)) {
      UpdateFiles(entry, entry);
      continue;
    }
    const std::optional<std::string> newName = FreeName(entry);
    if (!newName) {
      slaveNames_.Remove(entry);
      slaveList.erase(slaveList.begin() + static_cast<std::ptrdiff_t>(i));
      leftOut.push_back(entry);
      continue;
    }
    UpdateFiles(entry, *newName);
    records_.push_back(entry + std::string(kRecordDivider) + *newName);
    splitRecords_.push_back(SplitToken(records_.back(), kRecordDivider));
    slaveNames_.Remove(entry);
    slaveNames_.Add(*newName);
    slaveList[i] = *newName;
  }

  if (!slaveList.empty()) {
    WriteTextLines(slaveListFile_, slaveList);
    std::vector<std::string> merged = mainList;
    merged.insert(merged.end(), slaveList.begin(), slaveList.end());
    WriteTextLines(mainListFile_, merged);
    CopyFolder(mainList, leftOut);
  }
  if (!records_.empty()) WriteTextLines(RenameListPath(kind_, zone_), records_);
  return true;
}

// The name followed by the first letter A..Z that neither list holds. A candidate whose
// settings or member file already stands in either zone's folder is taken too: renaming onto it
// would fail and the leftover file would then pass for the item's own.
std::optional<std::string> ItemMerge::FreeName(const std::string& name) const {
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const std::string candidate = name + letter;
    if (mainNames_.Contains(candidate) || slaveNames_.Contains(candidate)) continue;
    bool fileStands = false;
    for (const char* ext : {".ini", ".txt"}) {
      const std::string file = candidate + ext;
      fileStands = fileStands || slaveFiles_.HoldsFolded(file) || mainFiles_.HoldsFolded(file);
    }
    if (!fileStands) return candidate;
  }
  return std::nullopt;
}

// Renames the item's two files in the slave's folder when the name changed and rewrites its
// member file. An item without both files keeps them as they are. A name that cannot be a file
// name is never used as a path (NameInFolder logs it); its list entry still moves.
void ItemMerge::UpdateFiles(const std::string& oldName, const std::string& newName) {
  const std::string oldIniName = oldName + ".ini";
  const std::string oldTxtName = oldName + ".txt";
  const auto madeIni = NameInFolder(slaveFolder_, oldIniName);
  if (!madeIni) return;
  const auto madeTxt = NameInFolder(slaveFolder_, oldTxtName);
  if (!madeTxt) return;
  const fs::path* listedIni = slaveFiles_.Find(oldIniName);
  const fs::path* listedTxt = slaveFiles_.Find(oldTxtName);
  const fs::path ini = listedIni ? *listedIni : *madeIni;
  const fs::path txt = listedTxt ? *listedTxt : *madeTxt;
  platform::Env* env = platform::CurrentEnv();
  if (!env->IsRegularFile(ini) || !env->IsRegularFile(txt)) return;

  fs::path members = txt;
  if (oldName != newName) {
    const auto newIni = NameInFolder(slaveFolder_, newName + ".ini");
    const auto newTxt = NameInFolder(slaveFolder_, newName + ".txt");
    if (!newIni || !newTxt) return;
    platform::WriteString(ini, kind_.section, kind_.key, newName);
    RenameFile(oldIniName, ini, newName + ".ini", *newIni);
    RenameFile(oldTxtName, txt, newName + ".txt", *newTxt);
    members = *newTxt;
  }
  RewriteMembers(members);
}

// A rename never replaces a file that stands at the target. A rename that fails ends the merge
// with an error: going on would leave the item's settings under its old name while the lists
// carry the new one, and report success.
void ItemMerge::RenameFile(const std::string& oldName, const fs::path& from,
                           const std::string& newName, const fs::path& to) {
  platform::Env* env = platform::CurrentEnv();
  if (env->Exists(to)) throw FileError(to, std::make_error_code(std::errc::file_exists).message());
  if (auto ec = env->Rename(from, to)) throw FileError(from, ec.message());
  slaveFiles_.Remove(oldName);
  slaveFiles_.Add(newName, to);
}

void ItemMerge::RewriteMembers(const fs::path& file) const {
  std::vector<std::string> lines = ReadTextLines(file);
  for (auto& line : lines) line = RenamedLine(line);
  WriteTextLines(file, lines);
}

std::string ItemMerge::RenamedLine(const std::string& line) const {
  if (line.empty()) return line;
  if (!kind_.guildMemberLines) {
    // A clan member line is a character name, looked up exactly as it stands.
    return RenameOf(charRenames_, line).value_or(line);
  }
  if (line.front() == '+') {
    const auto renamed = RenameOf(charRenames_, Trim(std::string_view(line).substr(1)));
    return renamed ? "+" + *renamed : line;
  }
  // Any other line may name a guild renamed earlier in this run.
  for (const auto& [oldName, newName] : splitRecords_) {
    if (EqualsFolded(oldName, line)) return Trim(newName);
  }
  return line;
}

// Copies the slave's folder into the main zone's directory, replacing what stands there, except
// the settings and member files of an item the main list holds (the main zone's own) and of an
// item left out of the merge for want of a free name.
void ItemMerge::CopyFolder(const std::vector<std::string>& mainNames,
                           const std::vector<std::string>& leftOut) const {
  std::unordered_set<std::string> kept;
  for (const auto* names : {&mainNames, &leftOut}) {
    for (const auto& name : *names) {
      if (name.empty()) continue;
      kept.insert(FoldGbkUpper(name + ".ini"));
      kept.insert(FoldGbkUpper(name + ".txt"));
    }
  }
  const fs::path& slaveFolder = slaveFolder_;
  const platform::CopyFilter filter = [&kept, &slaveFolder](const fs::path& source,
                                                            const fs::path&) {
    if (source.parent_path() != slaveFolder) return true;  // below a subfolder: not an item file
    const auto gbkName = platform::HostFileNameToGbk(source.filename());
    return !gbkName || kept.count(FoldGbkUpper(*gbkName)) == 0;
  };
  // Links in the slave's folder are not followed (a zone's files are never read through one).
  std::vector<fs::path> skipped;
  platform::CopyFolderTree(platform::SplitSources(slaveFolder_), mainDir_, filter, &skipped);
  static const std::string skipText = Gbk("跳过链接: ");
  for (const fs::path& p : skipped) Log().LogLine(skipText + platform::PathToGbk(p));
}

}  // namespace

bool MergeGuilds(const fs::path& mainDir, const fs::path& slaveDir) {
  return ItemMerge(kGuilds, mainDir, slaveDir, 0).Run();
}

bool MergeGuildsOfZone(const fs::path& mainDir, const fs::path& slaveDir, int zone) {
  return ItemMerge(kGuilds, mainDir, slaveDir, zone).Run();
}

bool MergeClans(const fs::path& mainDir, const fs::path& slaveDir) {
  return ItemMerge(kClans, mainDir, slaveDir, 0).Run();
}

bool MergeClansOfZone(const fs::path& mainDir, const fs::path& slaveDir, int zone) {
  return ItemMerge(kClans, mainDir, slaveDir, zone).Run();
}

std::pair<std::string, std::string> SplitToken(std::string_view text, std::string_view dividers) {
  if (text.empty() || text.size() >= kMaxSplitText) return {};
  const size_t start = text.find_first_not_of(dividers);
  if (start == std::string_view::npos) return {};
  const size_t end = text.find_first_of(dividers, start);
  if (end == std::string_view::npos) return {std::string(text.substr(start)), std::string()};
  return {std::string(text.substr(start, end - start)), std::string(text.substr(end + 1))};
}

}  // namespace zkq
