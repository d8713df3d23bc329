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
constexpr int64_t kWritebackBytes = int64_t{16} << 20;

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

// The number of items RenumberItems numbers in a record.
uint32_t ItemsInUse(const CDR& rec) {
  uint32_t n = 0;
  auto count = [&](const ItemArray& array, int slots) {
    for (int i = 0; i < slots; ++i) n += InUse(rec.Item(array, i), array) ? 1 : 0;
  };
  count(CDR::kItems66, std::min<int>(rec.Items66Count(), CDR::kItems66.count));
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

// Reads the main file's slots one block after another. The last slots of a file that ends
// inside them arrive short or not at all.
class SlotReader {
 public:
  SlotReader(platform::RandomRWFile* file, const fs::path& path)
      : file_(file), path_(path), buf_(static_cast<size_t>(kRecordsPerBlock * kRecordSize)) {}

  // The bytes of `slot` (slots are asked for in ascending order) and how many arrived.
  const uint8_t* Slot(int64_t slot, int64_t& have) {
    if (first_ < 0 || slot < first_ || slot >= first_ + kRecordsPerBlock) {
      first_ = slot;
      got_ = file_->Read(kHeaderSize + slot * kRecordSize, buf_.data(), buf_.size());
      if (got_ < 0) throw FileError(path_, file_->LastError().message());
    }
    const int64_t at = (slot - first_) * kRecordSize;
    have = std::clamp<int64_t>(got_ - at, 0, kRecordSize);
    return buf_.data() + at;
  }

 private:
  platform::RandomRWFile* file_;
  fs::path path_;
  std::vector<uint8_t> buf_;
  int64_t first_ = -1;
  int64_t got_ = 0;
};

// The merged file, written front to back in large blocks. Slots the main file did not hold
// whole stay as short as they were; a slot written behind them starts at its own offset, the
// bytes between reading as zeros, as they would after a write there.
//
// A thread of its own writes the blocks, so that the system's copying of them into the file
// overlaps the reading and numbering of the next ones; the disk is asked to start on every
// 16 MiB written. At most a few blocks wait at a time.
class MergedWriter {
 public:
  MergedWriter(platform::RandomRWFile* out, const fs::path& path)
      : out_(out), path_(path), thread_([this] { WriteBlocks(); }) {
    current_.bytes.reserve(kBlockBytes);
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

  void Put(int64_t slot, const uint8_t* bytes, int64_t n) {
    const int64_t at = kHeaderSize + slot * kRecordSize;
    if (at != current_.offset + static_cast<int64_t>(current_.bytes.size())) {
      HandOver();
      current_.offset = at;
    }
    current_.bytes.insert(current_.bytes.end(), bytes, bytes + n);
    if (current_.bytes.size() + static_cast<size_t>(kRecordSize) > kBlockBytes) HandOver();
  }

  // Writes what is left and waits until every block is in the file; throws the first error.
  void Finish() {
    HandOver();
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return (queue_.empty() && !busy_) || error_; });
    if (error_) throw *error_;
  }

 private:
  struct Block {
    int64_t offset = kHeaderSize;
    std::vector<uint8_t> bytes;
  };
  static constexpr size_t kBlockBytes = static_cast<size_t>(kRecordsPerBlock * 4 * kRecordSize);
  static constexpr size_t kMaxWaiting = 3;

  void HandOver() {
    if (current_.bytes.empty()) return;
    Block next;
    {
      std::unique_lock lock(mutex_);
      room_.wait(lock, [this] { return queue_.size() < kMaxWaiting || error_; });
      if (error_) throw *error_;
      next.offset = current_.offset + static_cast<int64_t>(current_.bytes.size());
      if (!spare_.empty()) {
        next.bytes = std::move(spare_.back());
        spare_.pop_back();
      }
      queue_.push_back(std::move(current_));
    }
    wake_.notify_one();
    next.bytes.clear();
    next.bytes.reserve(kBlockBytes);
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
      // After an error the blocks still waiting are dropped (only this thread sets it).
      const bool ok = error_ || out_->Write(block.offset, block.bytes.data(), block.bytes.size());
      const bool failed = !error_ && !ok;
      const int64_t end = block.offset + static_cast<int64_t>(block.bytes.size());
      if (!error_ && ok && end - writtenBack >= kWritebackBytes) {
        out_->StartWriteback(writtenBack, static_cast<size_t>(end - writtenBack));
        writtenBack = end;
      }
      lock.lock();
      if (failed) error_.emplace(path_, out_->LastError().message());
      spare_.push_back(std::move(block.bytes));
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
  std::vector<std::vector<uint8_t>> spare_;
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

  auto record = std::make_unique<CDR>();
  CDR& rec = *record;

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

  // Append pass, over the slave's live named records in name order: each is renamed and given
  // the slot an Add would give it. Nothing is written yet.
  static const std::string mergeText = Gbk("合并角色");
  static const std::string mergeTail = Gbk("的数据");
  const int slaveCount = slaveFile.NameCount();
  for (int i = 0; i < slaveCount; ++i) {
    // A record the file does not hold whole is not copied: its tail would be another's.
    const int32_t slaveSlot = slaveFile.ReadAtWhole(i, rec);
    const bool whole = slaveSlot >= 0;
    const std::string name = rec.CharName();
    Log().LogProgress(mergeText + (whole ? name : std::string()) + mergeTail, i + 1, slaveCount);
    if (!whole) continue;
    RenameOwnNames(rec, renames);
    if (mainFile.FindName(rec.CharName()) >= 0) continue;
    RenameLinks(rec, renames);
    int32_t slot = 0;
    // A record the main file cannot take ends the merge: a character must never go missing.
    if (!mainFile.PlanAdd(rec.KeyName(), slot)) throw FileError(mainPath, mainFile.LastError());
    if (static_cast<size_t>(slot) >= slots.size()) slots.resize(static_cast<size_t>(slot) + 1);
    Slot& s = slots[static_cast<size_t>(slot)];
    s.from = From::kSlave;
    s.whole = true;
    s.slaveSlot = slaveSlot;
    s.items = ItemsInUse(rec);
    s.name = rec.CharName();
  }

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
      std::memcpy(rec.bytes.data(), bytes, CDR::kSize);
      s.items = ItemsInUse(rec);
      s.name = rec.CharName();
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
          if (have > 0) writer.Put(i, bytes, have);
        } else {
          if (s.from == From::kMain) {
            std::memcpy(rec.bytes.data(), bytes, CDR::kSize);
          } else {
            if (!slaveFile.ReadSlotWhole(s.slaveSlot, rec))
              throw FileError(slavePath, "a record changed while it was merged");
            RenameOwnNames(rec, renames);
            RenameLinks(rec, renames);
          }
          uint32_t number = s.firstNumber;
          RenumberItems(rec, number);
          rec.bytes[CDR::kDeleted] = 0;
          PutF64(rec.bytes.data() + CDR::kUpdateTime, written);
          writer.Put(i, rec.bytes.data(), kRecordSize);
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
