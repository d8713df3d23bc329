#include "merge/chardata_merge.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "common/gbk.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "common/rename_lists.h"
#include "dbfiles/filedb.h"
#include "platform/env.h"

namespace zkq {

namespace fs = std::filesystem;
using CDR = CharDataRecord;
namespace hdr = layout::dbheader;

namespace {

constexpr int64_t kHeaderSize = static_cast<int64_t>(hdr::kSize);
constexpr int64_t kRecordSize = static_cast<int64_t>(CDR::kSize);
// Records read or written per system call: about a megabyte.
constexpr int64_t kRecordsPerBlock = 42;
// Written bytes handed to the disk at a time while the merge goes on.
constexpr int64_t kWritebackBytes = int64_t{128} << 20;

void RenameField(CDR& rec, size_t offset, size_t capacity, const TRenameList& renames) {
  if (auto renamed = RenameOf(renames, rec.ShortString(offset, capacity)))
    rec.SetShortString(offset, capacity, *renamed);
}

void RenameExtraField(CDR& rec, size_t offset, const TRenameList& renames) {
  if (auto renamed = RenameOf(renames, rec.ExtraName(offset))) rec.SetExtraName(offset, *renamed);
}

bool InUse(const uint8_t* item, const ItemArray& array) {
  return array.testedByItemIndex ? GetU16(item + useritem::kItemIndex) != 0
                                 : GetI32(item + useritem::kInstanceId) != 0;
}

void RenumberArray(CDR& rec, const ItemArray& array, int slots, uint32_t& counter) {
  for (int i = 0; i < slots; ++i) {
    uint8_t* item = rec.Item(array, i);
    if (!InUse(item, array)) continue;
    ++counter;
    const auto number = static_cast<int32_t>(counter);
    if (GetI32(item + useritem::kInstanceRef) == GetI32(item + useritem::kInstanceId))
      PutI32(item + useritem::kInstanceRef, number);
    PutI32(item + useritem::kInstanceId, number);
  }
}

// The number of items RenumberItems numbers in a record's bytes.
uint32_t ItemsInUse(const uint8_t* rec) {
  uint32_t n = 0;
  auto count = [&](const ItemArray& array, int slots) {
    for (int i = 0; i < slots; ++i) n += InUse(rec + CDR::ItemOffset(array, i), array) ? 1 : 0;
  };
  count(CDR::kItems66, std::min<int>(rec[CDR::kItems66Count], CDR::kItems66.count));
  for (const ItemArray* a :
       {&CDR::kItems9, &CDR::kItems120, &CDR::kItems20, &CDR::kItems5, &CDR::kItems30})
    count(*a, a->count);
  return n;
}

struct Renames {
  const TRenameList& accounts;
  const TRenameList& characters;
};

// The account and character renames of a slave record's own names.
void RenameOwnNames(CDR& rec, const Renames& r) {
  RenameField(rec, CDR::kAccountName, CDR::kAccountNameCapacity, r.accounts);
  if (auto renamed = RenameOf(r.characters, rec.CharName())) {
    rec.SetShortString(CDR::kCharName, CDR::kCharNameCapacity, *renamed);
    rec.SetShortString(CDR::kKeyName, CDR::kKeyNameCapacity, *renamed);
  }
}

// The character renames of the names a slave record links to.
void RenameLinks(CDR& rec, const Renames& r) {
  RenameField(rec, CDR::kOwnerName, CDR::kOwnerNameCapacity, r.characters);
  RenameField(rec, CDR::kHeroName, CDR::kHeroNameCapacity, r.characters);
  RenameField(rec, CDR::kLinkedCharName1, CDR::kLinkedCharName1Capacity, r.characters);
  RenameField(rec, CDR::kLinkedCharName2, CDR::kLinkedCharName2Capacity, r.characters);
  if (rec.ExtraLinkFlag()) {
    RenameExtraField(rec, CDR::kExtraName1, r.characters);
    RenameExtraField(rec, CDR::kExtraName2, r.characters);
  }
}

// Reads the slots of a file one block after another (slots are asked for in ascending order).
// The last slots of a file that ends inside them arrive short or not at all; a read error
// throws.
class SlotReader {
 public:
  SlotReader(platform::RandomRWFile* file, const fs::path& path)
      : file_(file), path_(path), reader_(file, CDR::kSize, kRecordsPerBlock) {}

  // The bytes of `slot` and how many arrived.
  const uint8_t* Slot(int64_t slot, int64_t& have) {
    const uint8_t* bytes = reader_.Slot(slot, have);
    if (bytes == nullptr) throw FileError(path_, file_->LastError().message());
    return bytes;
  }

 private:
  platform::RandomRWFile* file_;
  fs::path path_;
  SlotBlockReader reader_;
};

// The merged file, written front to back in blocks of whole records. The caller builds each
// record in place, in the block's own memory. Slots the main file did not hold whole stay as
// short as they were; a slot written behind them starts at its own offset, the bytes between
// reading as zeros, as they would after a write there.
//
// A thread of its own writes the blocks, so that the system's copying of them into the file
// overlaps the reading and numbering of the next ones; the file is flushed in the background
// on every 128 MiB written, so that the disk works while the merge goes on. At most a few
// blocks wait at a time.
class MergedWriter {
 public:
  MergedWriter(platform::RandomRWFile* out, const fs::path& path)
      : out_(out), path_(path), thread_([this] { WriteBlocks(); }) {
    current_.records = NewRecords();
  }
  ~MergedWriter() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  MergedWriter(const MergedWriter&) = delete;
  MergedWriter& operator=(const MergedWriter&) = delete;

  // The place of `slot`'s record, to be filled by the caller; slots come in ascending order.
  // What it held before is undefined.
  CDR& Next(int64_t slot) {
    if (current_.count > 0 && (current_.shortBytes != 0 ||
                               slot != current_.firstSlot + static_cast<int64_t>(current_.count) ||
                               current_.count == kBlockRecords))
      HandOver();
    if (current_.count == 0) current_.firstSlot = slot;
    return current_.records[current_.count++];
  }
  // Only the first n bytes of the record last handed out are written.
  void Shorten(size_t n) { current_.shortBytes = n; }

  // Writes what is left and waits until every block is in the file; throws the first error.
  void Finish() {
    HandOver();
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return (queue_.empty() && !busy_) || error_; });
    if (error_) throw *error_;
  }

 private:
  // About 4 MiB a block.
  static constexpr size_t kBlockRecords = static_cast<size_t>(kRecordsPerBlock * 4);
  static constexpr size_t kMaxWaiting = 3;

  struct Block {
    std::unique_ptr<CDR[]> records;
    size_t count = 0;
    int64_t firstSlot = 0;
    size_t shortBytes = 0;  // non-zero: the last record's bytes that are written
  };

  static std::unique_ptr<CDR[]> NewRecords() { return std::make_unique<CDR[]>(kBlockRecords); }

  void HandOver() {
    if (current_.count == 0) return;
    Block next;
    {
      std::unique_lock lock(mutex_);
      room_.wait(lock, [this] { return queue_.size() < kMaxWaiting || error_; });
      if (error_) throw *error_;
      if (!spare_.empty()) {
        next.records = std::move(spare_.back());
        spare_.pop_back();
      }
      queue_.push_back(std::move(current_));
    }
    wake_.notify_one();
    if (!next.records) next.records = NewRecords();
    current_ = std::move(next);
  }

  void WriteBlocks() {
    int64_t writtenBack = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, nothing left
      Block block = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
      lock.unlock();
      room_.notify_one();
      const int64_t at = kHeaderSize + block.firstSlot * kRecordSize;
      size_t n = block.count * static_cast<size_t>(kRecordSize);
      if (block.shortBytes != 0) n -= static_cast<size_t>(kRecordSize) - block.shortBytes;
      // After an error the blocks still waiting are dropped (only this thread sets it).
      const bool ok = error_ || out_->Write(at, block.records[0].bytes.data(), n);
      const bool failed = !error_ && !ok;
      const int64_t end = at + static_cast<int64_t>(n);
      if (!error_ && ok && end - writtenBack >= kWritebackBytes) {
        out_->StartWriteback(writtenBack, static_cast<size_t>(end - writtenBack));
        writtenBack = end;
      }
      lock.lock();
      if (failed) error_.emplace(path_, out_->LastError().message());
      spare_.push_back(std::move(block.records));
      busy_ = false;
      room_.notify_all();
      drained_.notify_all();
    }
  }

  platform::RandomRWFile* out_;
  fs::path path_;
  Block current_;
  std::mutex mutex_;
  std::condition_variable wake_, room_, drained_;
  std::deque<Block> queue_;
  std::vector<std::unique_ptr<CDR[]>> spare_;
  std::optional<FileError> error_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts once everything above is ready
};

bool Merge(const fs::path& mainPath, const fs::path& slavePath, int zone, bool closing) {
  TFileDB mainFile(mainPath);
  TFileDB slaveFile(slavePath);
  OpenedFile mainOpen(mainFile);
  if (!mainOpen.ok()) return false;
  OpenedFile slaveOpen(slaveFile);
  if (!slaveOpen.ok()) return false;
  mainFile.RequireWholeList();
  slaveFile.RequireWholeList();

  TRenameList zoneAccountRenames, zoneCharRenames;
  if (zone != 0) {
    zoneAccountRenames = LoadRenameList(AccountRenameListPath(zone));
    zoneCharRenames = LoadRenameList(CharRenameListPath(zone));
  }
  const Renames renames{zone == 0 ? Process().accountNameMap : zoneAccountRenames,
                        zone == 0 ? Process().charNameMap : zoneCharRenames};

  // What the merged file holds in each slot, and the items each record numbers.
  enum class From : uint8_t { kAsItIs, kMain, kSlave };
  struct Slot {
    From from = From::kAsItIs;
    bool whole = false;     // kMain: the main file holds the record whole
    int32_t slaveSlot = 0;  // kSlave
    uint32_t items = 0;
    uint32_t firstNumber = 0;
    std::string name;  // CharName, for the progress line of the renumbering
  };
  const int32_t mainSlots = std::max(0, mainFile.SlotCount());
  std::vector<Slot> slots(static_cast<size_t>(mainSlots));
  const TQuickList& names = mainFile.NameList();
  for (int i = 0; i < names.Count(); ++i)
    slots[static_cast<size_t>(names.Value(i))].from = From::kMain;

  // The slave's listed records, read in slot order in large blocks: whether each arrived whole
  // (a record the file does not hold whole is not copied: its tail would be another's), its
  // names and the items it numbers. Indexed by name list position.
  struct Listed {
    bool whole = false;
    uint32_t items = 0;
    std::string charName, keyName;
  };
  const TQuickList& slaveNames = slaveFile.NameList();
  const int slaveCount = slaveFile.NameCount();
  std::vector<Listed> listed(static_cast<size_t>(std::max(0, slaveCount)));
  {
    SlotReader reader(slaveFile.Handle(), slavePath);
    for (const auto& [slot, position] : ListedBySlot(slaveNames)) {
      int64_t have = 0;
      const uint8_t* bytes = reader.Slot(slot, have);
      if (have != kRecordSize) continue;
      Listed& l = listed[static_cast<size_t>(position)];
      l.whole = true;
      l.items = ItemsInUse(bytes);
      l.charName = GetShortString(bytes + CDR::kCharName, CDR::kCharNameCapacity);
      l.keyName = GetShortString(bytes + CDR::kKeyName, CDR::kKeyNameCapacity);
    }
  }

  // Append pass, over the slave's live named records in name order: each is renamed and given
  // the slot an Add would give it. Nothing is written yet.
  static const std::string mergeText = Gbk("合并角色");
  static const std::string mergeTail = Gbk("的数据");
  for (int i = 0; i < slaveCount; ++i) {
    const Listed& l = listed[static_cast<size_t>(i)];
    Log().LogProgress(mergeText + (l.whole ? l.charName : std::string()) + mergeTail, i + 1,
                      slaveCount);
    if (!l.whole) continue;
    // The names as RenameOwnNames leaves them in the record.
    std::string charName = l.charName, keyName = l.keyName;
    if (auto renamed = RenameOf(renames.characters, charName)) {
      charName = renamed->substr(0, CDR::kCharNameCapacity);
      keyName = renamed->substr(0, CDR::kKeyNameCapacity);
    }
    if (mainFile.FindName(charName) >= 0) continue;
    int32_t slot = 0;
    // A record the main file cannot take ends the merge: a character must never go missing.
    if (!mainFile.PlanAdd(keyName, slot)) throw FileError(mainPath, mainFile.LastError());
    if (static_cast<size_t>(slot) >= slots.size()) slots.resize(static_cast<size_t>(slot) + 1);
    Slot& s = slots[static_cast<size_t>(slot)];
    s.from = From::kSlave;
    s.whole = true;
    s.slaveSlot = slaveNames.Value(i);
    s.items = l.items;
    s.name = std::move(charName);
  }
  listed = {};

  // The main file's records: how many items each numbers.
  platform::RandomRWFile* in = mainFile.Handle();
  {
    SlotReader reader(in, mainPath);
    for (int64_t i = 0; i < mainSlots; ++i) {
      Slot& s = slots[static_cast<size_t>(i)];
      if (s.from != From::kMain) continue;
      int64_t have = 0;
      const uint8_t* bytes = reader.Slot(i, have);
      s.whole = have == kRecordSize;
      if (!s.whole) continue;  // never numbered or written back: it was not read whole
      s.items = ItemsInUse(bytes);
      s.name = GetShortString(bytes + CDR::kCharName, CDR::kCharNameCapacity);
    }
  }

  // The numbers: given out in name order, from 1, each record's in the order RenumberItems
  // visits its items.
  uint32_t& counter = Process().itemCounter;
  counter = 0;
  const int mergedCount = names.Count();
  for (int i = 0; i < mergedCount; ++i) {
    Slot& s = slots[static_cast<size_t>(names.Value(i))];
    if (!s.whole) continue;
    s.firstNumber = counter;
    counter += s.items;
  }

  if (mergedCount > 0) {
    // Written beside the main file and put in its place once complete and flushed.
    platform::Env* env = platform::CurrentEnv();
    fs::path temp = mainPath;
    temp += ".zkq-merge";
    std::error_code ec;
    auto out = platform::CreateTempFile(temp, ec);
    if (!out) throw FileError(temp, ec.message());
    try {
      MergedWriter writer(out.get(), temp);
      const TDateTime written = env->Now();  // the time of every record's rewrite
      static const std::string renumberText = Gbk("重排角色");
      static const std::string renumberTail = Gbk("的物品ID");
      int logged = 0;
      int32_t lastChanged = -1;
      SlotReader reader(in, mainPath);
      const auto total = static_cast<int64_t>(slots.size());
      for (int64_t i = 0; i < total; ++i) {
        const Slot& s = slots[static_cast<size_t>(i)];
        int64_t have = 0;
        const uint8_t* bytes = i < mainSlots ? reader.Slot(i, have) : nullptr;
        if (s.from == From::kAsItIs || !s.whole) {
          if (have > 0) {
            std::memcpy(writer.Next(i).bytes.data(), bytes, static_cast<size_t>(have));
            if (have < kRecordSize) writer.Shorten(static_cast<size_t>(have));
          }
        } else {
          CDR& out = writer.Next(i);
          if (s.from == From::kMain) {
            std::memcpy(out.bytes.data(), bytes, CDR::kSize);
          } else {
            if (!slaveFile.ReadSlotWhole(s.slaveSlot, out))
              throw FileError(slavePath, "a record changed while it was merged");
            RenameOwnNames(out, renames);
            RenameLinks(out, renames);
          }
          uint32_t number = s.firstNumber;
          RenumberItems(out, number);
          out.bytes[CDR::kDeleted] = 0;
          PutF64(out.bytes.data() + CDR::kUpdateTime, written);
        }
        // The renumbering's progress lines, in name order, as far as the writing has come.
        const auto due = static_cast<int>((i + 1) * mergedCount / total);
        for (; logged < due; ++logged) {
          const Slot& named = slots[static_cast<size_t>(names.Value(logged))];
          if (named.whole) lastChanged = names.Value(logged);
          Log().LogProgress(
              renumberText + (named.whole ? named.name : std::string()) + renumberTail, logged + 1,
              mergedCount);
        }
      }
      writer.Finish();

      // The main file's header with the new SlotCount and the last rewrite as its last change.
      TDBFile::Header header = mainFile.HeaderCopy();
      TDateTime lastChangeTime = GetF64(header.data() + hdr::kLastChangeTime);
      if (lastChanged >= 0) {
        lastChangeTime = written;
        PutI32(header.data() + hdr::kLastChangedSlot, lastChanged);
        PutF64(header.data() + hdr::kLastChangeTime, written);
        PutF64(header.data() + hdr::kLastWriteTime, env->Now());
      }
      if (!out->Write(0, header.data(), header.size()) || !out->Sync())
        throw FileError(temp, out->LastError().message());
      if (!out->Close()) throw FileError(temp, out->LastError().message());
      out.reset();
      if (auto replaced = platform::ReplaceWithTemp(temp, mainPath))
        throw FileError(mainPath, replaced.message());
      mainFile.AdoptRewrite(header, lastChanged >= 0 ? lastChanged : mainFile.LastChangedSlot(),
                            lastChangeTime);
    } catch (...) {
      out.reset();
      env->RemoveFile(temp);
      throw;
    }
  }

  if (closing) CloseCharacterDataMerge();
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

void CloseCharacterDataMerge() {
  Log().LogLine(Gbk("数据库文件合并完毕!"));
  Log().SaveLog();
  Log().SetPercent(100);
  Log().SetTotalParts(100);
}

bool MergeCharacterData(const fs::path& mainPath, const fs::path& slavePath) {
  return Merge(mainPath, slavePath, 0, true);
}

bool MergeCharacterDataStaged(const fs::path& mainPath, const fs::path& slavePath) {
  return Merge(mainPath, slavePath, 0, false);
}

bool MergeCharacterDataOfZone(const fs::path& mainPath, const fs::path& slavePath, int zone) {
  return Merge(mainPath, slavePath, zone, false);
}

}  // namespace zkq
