#include "merge/chardata_merge.h"

#include <algorithm>
#include <memory>

#include "common/gbk.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "common/rename_lists.h"
#include "dbfiles/filedb.h"

namespace zkq {

namespace fs = std::filesystem;
using CDR = CharDataRecord;

namespace {

void RenameField(CDR& rec, size_t offset, size_t capacity, const TRenameList& renames) {
  if (auto renamed = RenameOf(renames, rec.ShortString(offset, capacity)))
    rec.SetShortString(offset, capacity, *renamed);
}

void RenameExtraField(CDR& rec, size_t offset, const TRenameList& renames) {
  if (auto renamed = RenameOf(renames, rec.ExtraName(offset))) rec.SetExtraName(offset, *renamed);
}

void RenumberArray(CDR& rec, const ItemArray& array, int slots, uint32_t& counter) {
  for (int i = 0; i < slots; ++i) {
    uint8_t* item = rec.Item(array, i);
    const bool inUse = array.testedByItemIndex ? GetU16(item + useritem::kItemIndex) != 0
                                               : GetI32(item + useritem::kInstanceId) != 0;
    if (!inUse) continue;
    ++counter;
    const auto number = static_cast<int32_t>(counter);
    if (GetI32(item + useritem::kInstanceRef) == GetI32(item + useritem::kInstanceId))
      PutI32(item + useritem::kInstanceRef, number);
    PutI32(item + useritem::kInstanceId, number);
  }
}

bool Merge(const fs::path& mainPath, const fs::path& slavePath, int zone) {
  TFileDB mainFile(mainPath);
  TFileDB slaveFile(slavePath);
  OpenedFile mainOpen(mainFile);
  if (!mainOpen.ok()) return false;
  OpenedFile slaveOpen(slaveFile);
  if (!slaveOpen.ok()) return false;

  TRenameList zoneAccountRenames, zoneCharRenames;
  if (zone != 0) {
    zoneAccountRenames = LoadRenameList(AccountRenameListPath(zone));
    zoneCharRenames = LoadRenameList(CharRenameListPath(zone));
  }
  const TRenameList& accountRenames = zone == 0 ? Process().accountNameMap : zoneAccountRenames;
  const TRenameList& charRenames = zone == 0 ? Process().charNameMap : zoneCharRenames;

  auto record = std::make_unique<CDR>();
  CDR& rec = *record;

  // Append pass, over the slave's live named records in name order.
  static const std::string mergeText = Gbk("合并角色");
  static const std::string mergeTail = Gbk("的数据");
  const int slaveCount = slaveFile.NameCount();
  for (int i = 0; i < slaveCount; ++i) {
    // A record the file does not hold whole is not copied: its tail would be another's.
    const bool whole = slaveFile.ReadAtWhole(i, rec) >= 0;
    const std::string name = rec.CharName();
    Log().LogProgress(mergeText + (whole ? name : std::string()) + mergeTail, i + 1, slaveCount);
    if (!whole) continue;
    RenameField(rec, CDR::kAccountName, CDR::kAccountNameCapacity, accountRenames);
    if (auto renamed = RenameOf(charRenames, name)) {
      rec.SetShortString(CDR::kCharName, CDR::kCharNameCapacity, *renamed);
      rec.SetShortString(CDR::kKeyName, CDR::kKeyNameCapacity, *renamed);
    }
    if (mainFile.FindName(rec.CharName()) >= 0) continue;
    RenameField(rec, CDR::kOwnerName, CDR::kOwnerNameCapacity, charRenames);
    RenameField(rec, CDR::kHeroName, CDR::kHeroNameCapacity, charRenames);
    RenameField(rec, CDR::kLinkedCharName1, CDR::kLinkedCharName1Capacity, charRenames);
    RenameField(rec, CDR::kLinkedCharName2, CDR::kLinkedCharName2Capacity, charRenames);
    if (rec.ExtraLinkFlag()) {
      RenameExtraField(rec, CDR::kExtraName1, charRenames);
      RenameExtraField(rec, CDR::kExtraName2, charRenames);
    }
    mainFile.Add(rec);
  }

  // Renumbering pass over every live record of the main file, in name order.
  static const std::string renumberText = Gbk("重排角色");
  static const std::string renumberTail = Gbk("的物品ID");
  uint32_t& counter = Process().itemCounter;
  counter = 0;
  const int mainCount = mainFile.NameCount();
  for (int i = 0; i < mainCount; ++i) {
    const bool whole = mainFile.ReadAtWhole(i, rec) >= 0;
    Log().LogProgress(renumberText + (whole ? rec.CharName() : std::string()) + renumberTail, i + 1,
                      mainCount);
    if (!whole) continue;  // never write back a record that was not read whole
    RenumberItems(rec, counter);
    mainFile.WriteAt(i, rec);
  }

  if (zone == 0) {
    Log().LogLine(Gbk("数据库文件合并完毕!"));
    Log().SaveLog();
    Log().SetPercent(100);
    Log().SetTotalParts(100);
  }
  return true;
}

}  // namespace

void RenumberItems(CDR& record, uint32_t& counter) {
  RenumberArray(record, CDR::kItems66, std::min<int>(record.Items66Count(), CDR::kItems66.count),
                counter);
  RenumberArray(record, CDR::kItems9, CDR::kItems9.count, counter);
  RenumberArray(record, CDR::kItems120, CDR::kItems120.count, counter);
  RenumberArray(record, CDR::kItems20, CDR::kItems20.count, counter);
  RenumberArray(record, CDR::kItems5, CDR::kItems5.count, counter);
  RenumberArray(record, CDR::kItems30, CDR::kItems30.count, counter);
}

bool MergeCharacterData(const fs::path& mainPath, const fs::path& slavePath) {
  return Merge(mainPath, slavePath, 0);
}

bool MergeCharacterDataOfZone(const fs::path& mainPath, const fs::path& slavePath, int zone) {
  return Merge(mainPath, slavePath, zone);
}

}  // namespace zkq
