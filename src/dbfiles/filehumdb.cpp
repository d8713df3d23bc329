#include "dbfiles/filehumdb.h"

#include "platform/app_hooks.h"

namespace zkq {

namespace fs = std::filesystem;
using platform::CurrentEnv;
namespace hdr = layout::dbheader;

TFileHumDB::TFileHumDB(fs::path path)
    : TDBFile(std::move(path), CharIndexRecord::kSize, hdr::kDescriptionCapacity,
              layout::kCharFileSignature, &platform::CharacterFilesLock()) {
  ScanRecords();
}

void TFileHumDB::ScanRecords() {
  nameList_.Clear();
  accountList_.Clear();
  freeSlots_.clear();
  std::vector<TQuickIDList::Tuple> pairs;
  if (OpenFile() && ReadHeader()) {
    const int32_t slots = SlotCount();
    SequentialRecordReader reader(file(), static_cast<int64_t>(hdr::kSize), CharIndexRecord::kSize,
                                  8192);
    for (int32_t slot = 0; slot < slots; ++slot) {
      const uint8_t* rec = reader.Next();
      if (rec == nullptr) {
        if (reader.Failed()) FailIo();  // not the end of the file: the list is incomplete
        break;
      }
      if (rec[CharIndexRecord::kDeleted] == 0) {
        nameList_.Append(
            GetShortString(rec + CharIndexRecord::kKeyName, CharIndexRecord::kKeyNameCapacity),
            slot);
        pairs.push_back(
            {GetShortString(rec + CharIndexRecord::kAccountName,
                            CharIndexRecord::kAccountNameCapacity),
             GetShortString(rec + CharIndexRecord::kCharName, CharIndexRecord::kCharNameCapacity),
             slot, GetU16(rec + CharIndexRecord::kHeaderWord)});
      } else {
        freeSlots_.push_back(slot);
      }
      platform::ProcessPendingEvents();
      if (platform::ShuttingDown()) {
        CloseFile();
        return;
      }
    }
  }
  CloseFile();
  accountList_.BuildFrom(pairs, [] { platform::ProcessPendingEvents(); });
  nameList_.SortRange(0, nameList_.Count() - 1);
}

int TFileHumDB::ReadAt(int position, CharIndexRecord& record) {
  if (position < 0 || position >= nameList_.Count()) return -1;
  const int32_t slot = nameList_.Value(position);
  return ReadSlotRaw(slot, record.bytes.data()) ? slot : -1;
}

bool TFileHumDB::Add(const CharIndexRecord& record) {
  const std::string key = record.KeyName();
  if (FindName(key) >= 0) return Fail("the character name is taken: " + key);
  const Header saved = HeaderCopy();
  const int32_t slot = TakeFreeOrEndSlot(freeSlots_);

  bool written = false;
  const int64_t offset = SlotOffset(slot);
  if (file() == nullptr || offset < 0) {
    Fail("the file is not open or the slot lies outside it: " + std::to_string(slot));
  } else {
    CharIndexRecord present;
    const bool occupied = file()->Read(offset, present.bytes.data(), present.bytes.size()) ==
                              static_cast<int64_t>(present.bytes.size()) &&
                          !present.Deleted() && !present.KeyName().empty();
    if (occupied) {
      Fail("free slot " + std::to_string(slot) + " holds a live record");
    } else {
      platform::Env* env = CurrentEnv();
      CharIndexRecord copy = record;
      copy.bytes[CharIndexRecord::kDeleted] = 0;
      PutF64(copy.bytes.data() + CharIndexRecord::kUpdateTime, env->Now());
      PutF64(header().data() + hdr::kLastWriteTime, env->Now());
      written = WriteHeaderAndRecord(offset, copy.bytes.data());
      if (!written) FailIo();
    }
  }
  if (!written) {
    header() = saved;
    return false;
  }
  nameList_.InsertSorted(key, slot);
  accountList_.AddCharacter(record.AccountName(), record.CharName(), slot, record.HeaderWord());
  return true;
}

bool TFileHumDB::MarkDeleted(int32_t slot) {
  const int64_t offset = SlotOffset(slot);
  if (file() == nullptr || offset < 0) return Fail("the file is not open");
  if (!WriteDeletedMark(offset, CurrentEnv()->Now())) return FailIo();
  freeSlots_.push_back(slot);
  return true;
}

bool TFileHumDB::DeleteByName(std::string_view name) {
  const int position = FindName(name);
  if (position == -1) return Fail("no such character: " + std::string(name));
  CharIndexRecord record;
  ReadAt(position, record);
  const bool deleted = MarkDeleted(nameList_.Value(position));
  if (deleted) nameList_.Delete(position);
  const int account = accountList_.FindAccount(record.AccountName(), nullptr);
  if (account >= 0) accountList_.RemoveCharacter(account, record.CharName());
  return deleted;
}

bool TFileHumDB::AccountHasCharacters(std::string_view account) const {
  const TQuickIDList::Entries* entries = nullptr;
  return accountList_.FindAccount(account, &entries) >= 0 && entries != nullptr &&
         !entries->empty();
}

std::string TFileHumDB::MakeFreeCharName(std::string_view name, std::string_view suffix) const {
  std::string base(name);
  if (base.size() >= 14) base.resize(static_cast<unsigned char>(name[13]) >= 0x80 ? 12 : 13);
  if (!suffix.empty()) {
    std::string candidate = base + std::string(suffix);
    if (FindName(candidate) == -1) return candidate;
  }
  for (char c = 'a'; c <= 'z'; ++c) {
    std::string candidate = base + c;
    if (FindName(candidate) == -1) return candidate;
  }
  return {};
}

bool TFileHumDB::Compact() {
  CompactHooks hooks;
  hooks.keep = [](uint8_t* rec, int32_t) { return rec[CharIndexRecord::kDeleted] == 0; };
  return CompactWith("Hum#$00.DB", hooks);
}

}  // namespace zkq
