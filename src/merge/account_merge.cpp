#include "merge/account_merge.h"

#include <optional>

#include "common/errors.h"
#include "common/gbk.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "common/rename_lists.h"
#include "dbfiles/fileiddb.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

bool Merge(const fs::path& mainPath, const fs::path& slavePath, int zone) {
  TRenameList zoneRenames;
  TRenameList& renames = zone == 0 ? Process().accountNameMap : zoneRenames;
  renames.Clear();

  TFileIDDB mainFile(mainPath);
  TFileIDDB slaveFile(slavePath);
  OpenedFile mainOpen(mainFile);
  if (!mainOpen.ok()) return false;
  OpenedFile slaveOpen(slaveFile);
  if (!slaveOpen.ok()) return false;
  mainFile.RequireWholeList();
  slaveFile.RequireWholeList();

  static const std::string progressText = Gbk("合并帐号");
  const int32_t total = slaveFile.SlotCount();
  AccountRecord record;
  SequentialRecordReader reader = slaveFile.WalkSlots(4096);
  for (int32_t slot = 0; slot < total; ++slot) {
    // A slot the file does not hold whole ends the walk: the count in the header overstates it.
    // A read error is no end: the accounts behind it would be left out.
    if (!NextWholeRecord(reader, slaveFile, record.bytes.data())) break;
    const std::string name = record.AccountName();
    Log().LogProgress(progressText + name, slot + 1, total);
    // A free slot or a nameless record is no account: it must not come back to life.
    if (record.Deleted() || name.empty()) continue;
    // An account the main file cannot take ends the merge: it must never go missing.
    if (mainFile.FindName(name) < 0) {
      if (!mainFile.Add(record)) throw FileError(mainPath, mainFile.LastError());
      continue;
    }
    const std::string newName = mainFile.MakeFreeAccountName(name);
    if (newName.empty()) continue;
    renames.Add(name, newName);
    record.SetAccountName(newName);
    if (!mainFile.Add(record)) throw FileError(mainPath, mainFile.LastError());
  }

  const fs::path listFile = AccountRenameListPath(zone);
  if (zone != 0) RemoveRenameList(listFile);
  if (renames.Count() > 0) SaveRenameList(listFile, renames);
  return true;
}

}  // namespace

bool MergeAccounts(const fs::path& mainPath, const fs::path& slavePath) {
  return Merge(mainPath, slavePath, 0);
}

bool MergeAccountsOfZone(const fs::path& mainPath, const fs::path& slavePath, int zone) {
  return Merge(mainPath, slavePath, zone);
}

}  // namespace zkq
