#include "cleanup/account_cleanup.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/casefold.h"
#include "common/errors.h"
#include "common/gbk.h"
#include "common/paths.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "common/textfile.h"
#include "dbfiles/chardata.h"
#include "dbfiles/filedb.h"
#include "dbfiles/filehumdb.h"
#include "dbfiles/fileiddb.h"
#include "platform/codepage.h"
#include "platform/env.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

// A working list of names: each name once, compared without regard to the case of ASCII
// letters (the first spelling added is kept), handed out in list-file order.
class NameSet {
 public:
  // Adds the name unless it is there already in some letter case; true when it was added.
  bool Add(const std::string& name) {
    if (!keys_.insert(FoldGbkUpper(name)).second) return false;
    names_.push_back(name);
    return true;
  }
  bool Contains(std::string_view name) const { return keys_.count(FoldGbkUpper(name)) != 0; }
  bool Empty() const { return names_.empty(); }
  // The names in list-file order: the order of the deletion passes and of the list files.
  std::vector<std::string> Sorted() const {
    std::vector<std::string> sorted = names_;
    SortForListFile(sorted);
    return sorted;
  }
  void Clear() {
    keys_.clear();
    names_.clear();
  }

 private:
  std::unordered_set<std::string> keys_;  // folded names
  std::vector<std::string> names_;        // as first added
};

// The fields of a character data record that the criteria scan tests.
struct CharFields {
  bool deleted = false;
  std::string charName;
  uint16_t level = 0;
  TDateTime updateTime = 0;
  std::string heroName;
  std::string ownerName;
};

// The last of those fields ends with OwnerName.
constexpr size_t kFieldsEnd = CharDataRecord::kOwnerName + CharDataRecord::kOwnerNameCapacity + 1;
static_assert(CharDataRecord::kOwnerName > CharDataRecord::kHeroName &&
              CharDataRecord::kHeroName > CharDataRecord::kLevel);

// The fields of the records the name list names, read in slot order in large blocks and
// indexed by name list position; `ok` false for a record the file does not hold as far as
// OwnerName: such a record is never acted on. A read error throws.
struct ListedFields {
  bool ok = false;
  CharFields fields;
};
std::vector<ListedFields> ReadListedFields(TFileDB& file) {
  const TQuickList& names = file.NameList();
  const int count = file.NameCount();
  std::vector<ListedFields> listed(static_cast<size_t>(std::max(0, count)));
  SlotBlockReader reader(file.Handle(), CharDataRecord::kSize, 42);
  for (const auto& [slot, position] : ListedBySlot(names)) {
    int64_t have = 0;
    const uint8_t* rec = reader.Slot(slot, have);
    if (rec == nullptr) throw FileError(file.Path(), file.Handle()->LastError().message());
    if (have < static_cast<int64_t>(kFieldsEnd)) continue;
    ListedFields& l = listed[static_cast<size_t>(position)];
    CharFields& out = l.fields;
    l.ok = true;
    out.deleted = rec[CharDataRecord::kDeleted] != 0;
    out.charName =
        GetShortString(rec + CharDataRecord::kCharName, CharDataRecord::kCharNameCapacity);
    out.level = GetU16(rec + CharDataRecord::kLevel);
    out.updateTime = GetF64(rec + CharDataRecord::kUpdateTime);
    out.heroName =
        GetShortString(rec + CharDataRecord::kHeroName, CharDataRecord::kHeroNameCapacity);
    out.ownerName =
        GetShortString(rec + CharDataRecord::kOwnerName, CharDataRecord::kOwnerNameCapacity);
  }
  return listed;
}

// Removes a character by name from both character files (a file that does not hold it is
// passed over). A deletion that fails ends the cleanup: a character must never be half removed.
void DeleteCharacter(TFileHumDB& hum, TFileDB& kem, const std::string& name) {
  if (hum.FindName(name) >= 0 && !hum.DeleteByName(name))
    throw FileError(hum.Path(), hum.LastError());
  if (kem.FindName(name) >= 0 && !kem.DeleteByName(name))
    throw FileError(kem.Path(), kem.LastError());
}

void WriteList(std::string_view utf8FileName, const NameSet& names) {
  if (names.Empty()) return;  // an earlier file of that name stays as it was
  WriteTextLines(ProgramDir() / platform::PathFromUtf8(utf8FileName), names.Sorted());
}

}  // namespace

bool CleanAccountsAndCharacters(const fs::path& accountFile, const fs::path& indexFile,
                                const fs::path& dataFile, bool clearDeleted, int32_t minLevel,
                                TDateTime cutoff) {
  static const std::string kScanHum = Gbk("扫描HumDB 角色");
  static const std::string kScanKem = Gbk("扫描KemDB 角色");
  static const std::string kDeleteChar = Gbk("删除角色");
  static const std::string kDeleteHero = Gbk("删除元神角色");
  static const std::string kScanId = Gbk("扫描IDDB 帐号");

  // A missing file would be created, empty, by its file object; an empty character index file
  // names no account, and every account would go.
  platform::Env* env = platform::CurrentEnv();
  for (const fs::path* file : {&accountFile, &indexFile, &dataFile})
    if (!env->IsRegularFile(*file)) return false;

  TFileIDDB idDb(accountFile);
  TFileHumDB humDb(indexFile);
  TFileDB kemDb(dataFile);

  // The process-wide lists are cleared now and hold the removed names at the end.
  TRenameList& removedCharsMap = Process().charNameMap;
  TRenameList& removedAccountsMap = Process().accountNameMap;
  removedCharsMap.Clear();
  removedAccountsMap.Clear();

  NameSet chars, accounts;
  {
    NameSet heroes;
    // Each file is closed again on the way out, also the one that failed to open; a file not
    // yet tried is not opened.
    OpenedFile idOpen(idDb);
    if (!idOpen.ok()) return false;
    OpenedFile humOpen(humDb);
    if (!humOpen.ok()) return false;
    OpenedFile kemOpen(kemDb);
    if (!kemOpen.ok()) return false;
    for (const TDBFile* db :
         {static_cast<const TDBFile*>(&idDb), static_cast<const TDBFile*>(&humDb),
          static_cast<const TDBFile*>(&kemDb)})
      db->RequireWholeList();

    // Characters the players deleted. A slot marked deleted is free: the flag and name it still
    // carries belong to a former character, and acting on them would remove a live character
    // that now bears that name.
    if (clearDeleted) {
      const int32_t slots = humDb.SlotCount();
      CharIndexRecord record;
      SequentialRecordReader reader = humDb.WalkSlots(8192);
      for (int32_t slot = 0; slot < slots; ++slot) {
        if (!NextWholeRecord(reader, humDb, record.bytes.data())) break;
        const std::string name = record.CharName();
        Log().LogProgress(kScanHum + name, slot + 1, slots);
        if (!record.Deleted() && record.CharDeleted() && !name.empty()) chars.Add(name);
      }
    }

    // Characters below the level or not written since the cut-off, in name order. A hero goes
    // only with its owner.
    const int count = kemDb.NameCount();
    const std::vector<ListedFields> listed = ReadListedFields(kemDb);
    for (int i = 0; i < count; ++i) {
      if (!listed[static_cast<size_t>(i)].ok) {
        Log().LogProgress(kScanKem + kemDb.NameList().Text(i), i + 1, count);
        continue;
      }
      const CharFields& c = listed[static_cast<size_t>(i)].fields;
      Log().LogProgress(kScanKem + c.charName, i + 1, count);
      if (c.deleted || c.charName.empty() || !c.ownerName.empty()) continue;
      bool removed = chars.Contains(c.charName);
      if (!removed && (c.level < minLevel || c.updateTime < cutoff)) {
        chars.Add(c.charName);
        removed = true;
      }
      if (removed && !c.heroName.empty()) heroes.Add(c.heroName);
    }

    const std::vector<std::string> charNames = chars.Sorted();
    const auto charTotal = static_cast<int32_t>(charNames.size());
    for (int32_t j = 0; j < charTotal; ++j) {
      DeleteCharacter(humDb, kemDb, charNames[static_cast<size_t>(j)]);
      Log().LogProgress(kDeleteChar + charNames[static_cast<size_t>(j)], j + 1, charTotal);
    }
    const std::vector<std::string> heroNames = heroes.Sorted();
    const auto heroTotal = static_cast<int32_t>(heroNames.size());
    for (int32_t k = 0; k < heroTotal; ++k) {
      DeleteCharacter(humDb, kemDb, heroNames[static_cast<size_t>(k)]);
      Log().LogProgress(kDeleteHero + heroNames[static_cast<size_t>(k)], k + 1, heroTotal);
    }

    // The accounts that a remaining character names, in any letter case: characters may carry
    // the account name as the player typed it, and an account that owns a character stays.
    std::unordered_set<std::string> owning;
    const TQuickIDList& accountList = humDb.AccountList();
    owning.reserve(static_cast<size_t>(accountList.Count()));
    for (int a = 0; a < accountList.Count(); ++a)
      if (!accountList.EntriesAt(a).empty()) owning.insert(FoldGbkUpper(accountList.Text(a)));

    const int32_t accountSlots = idDb.SlotCount();
    AccountRecord record;
    SequentialRecordReader reader = idDb.WalkSlots(4096);
    for (int32_t slot = 0; slot < accountSlots; ++slot) {
      if (!NextWholeRecord(reader, idDb, record.bytes.data())) break;
      const std::string name = record.AccountName();
      Log().LogProgress(kScanId + name, slot + 1, accountSlots);
      if (!name.empty() && owning.count(FoldGbkUpper(name)) == 0) accounts.Add(name);
    }

    for (const std::string& name : accounts.Sorted()) removedAccountsMap.AddLine(name);
    for (const std::string& name : charNames) removedCharsMap.AddLine(name);

    WriteList("已删除帐号列表.txt", accounts);
    WriteList("已删除角色列表.txt", chars);
    WriteList("已删除元神角色列表.txt", heroes);
  }  // the hero list is released and the three files are closed

  static const std::string kRebuildId = Gbk("重建数据库ID.Db");
  static const std::string kRebuildHum = Gbk("重建数据库Hum.Db");
  static const std::string kRebuildKem = Gbk("重建数据库Kem.Db");
  // A rebuild that fails ends the cleanup: the removed accounts and characters leave their
  // files only through the rebuilds.
  Log().LogProgress(kRebuildId, 1, 100);
  if (!idDb.Compact([&](std::string_view name) { return accounts.Contains(name); }))
    throw FileError(accountFile, idDb.LastError());
  Log().LogProgress(kRebuildId, 100, 100);
  Log().LogProgress(kRebuildHum, 1, 100);
  if (!humDb.Compact()) throw FileError(indexFile, humDb.LastError());
  Log().LogProgress(kRebuildHum, 100, 100);
  Log().LogProgress(kRebuildKem, 1, 100);
  if (!kemDb.Compact(&Log())) throw FileError(dataFile, kemDb.LastError());
  Log().LogProgress(kRebuildKem, 100, 100);
  return true;
}

}  // namespace zkq
