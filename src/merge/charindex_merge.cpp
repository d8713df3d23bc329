#include "merge/charindex_merge.h"

#include "common/errors.h"
#include "common/gbk.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "common/rename_lists.h"
#include "dbfiles/filehumdb.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

bool Merge(const fs::path& mainPath, const fs::path& slavePath, int zone) {
  TRenameList zoneAccountRenames, zoneCharRenames;
  TRenameList& charRenames = zone == 0 ? Process().charNameMap : zoneCharRenames;
  charRenames.Clear();

  TFileHumDB mainFile(mainPath);
  TFileHumDB slaveFile(slavePath);
  OpenedFile mainOpen(mainFile);
  if (!mainOpen.ok()) return false;
  OpenedFile slaveOpen(slaveFile);
  if (!slaveOpen.ok()) return false;
  mainFile.RequireWholeList();
  slaveFile.RequireWholeList();

  if (zone != 0) zoneAccountRenames = LoadRenameList(AccountRenameListPath(zone));
  const TRenameList& accountRenames = zone == 0 ? Process().accountNameMap : zoneAccountRenames;
  const std::string& suffix = Process().duplicateNameSuffix;

  static const std::string progressText = Gbk("合并角色");
  const int32_t total = slaveFile.SlotCount();
  CharIndexRecord record;
  SequentialRecordReader reader = slaveFile.WalkSlots(8192);
  for (int32_t slot = 0; slot < total; ++slot) {
    // A slot the file does not hold whole ends the walk: the count in the header overstates it.
    // A read error is no end: the characters behind it would be left out.
    if (!NextWholeRecord(reader, slaveFile, record.bytes.data())) break;
    const std::string name = record.CharName();
    Log().LogProgress(progressText + name, slot + 1, total);
    // A free slot or a nameless record is no character: it must not come back to life.
    if (record.Deleted() || name.empty() || record.KeyName().empty()) continue;
    if (auto account = RenameOf(accountRenames, record.AccountName()))
      record.SetAccountName(*account);
    // A character the main file cannot take ends the merge: it must never go missing.
    if (mainFile.FindName(name) < 0) {
      if (!mainFile.Add(record)) throw FileError(mainPath, mainFile.LastError());
      continue;
    }
    const std::string newName = mainFile.MakeFreeCharName(name, suffix);
    if (newName.empty()) continue;
    charRenames.Add(name, newName);
    record.SetCharName(newName);
    record.SetKeyName(newName);
    if (!mainFile.Add(record)) throw FileError(mainPath, mainFile.LastError());
  }

  const fs::path listFile = CharRenameListPath(zone);
  if (zone != 0) RemoveRenameList(listFile);
  if (charRenames.Count() > 0) SaveRenameList(listFile, charRenames);
  return true;
}

}  // namespace

bool MergeCharacterIndex(const fs::path& mainPath, const fs::path& slavePath) {
  return Merge(mainPath, slavePath, 0);
}

bool MergeCharacterIndexOfZone(const fs::path& mainPath, const fs::path& slavePath, int zone) {
  return Merge(mainPath, slavePath, zone);
}

}  // namespace zkq
