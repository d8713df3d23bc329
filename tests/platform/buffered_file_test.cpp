// The write-back file: what it reads and what reaches the file below must always be what was
// written, whatever the mix of small, large, gapped and copied writes; errors of the file below
// must come out; and the file below must receive few large writes.
#include "platform/buffered_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zkq::platform {
namespace {

using test::FileTest;
using test::ReadBytes;
using test::WriteBytes;

// What a RecordingFile saw and the faults it is told to make.
struct Recording {
  std::vector<std::pair<int64_t, size_t>> writes;  // offset, length
  int syncs = 0;
  bool failWrites = false;
  bool failSync = false;
  bool failClose = false;
};

// A file in front of another that records the writes it passes on and fails on request.
class RecordingFile : public RandomRWFile {
 public:
  RecordingFile(std::unique_ptr<RandomRWFile> inner, std::shared_ptr<Recording> rec)
      : inner_(std::move(inner)), rec_(std::move(rec)) {}

  int64_t Read(int64_t offset, void* buf, size_t n) override {
    return inner_->Read(offset, buf, n);
  }
  bool Write(int64_t offset, const void* buf, size_t n) override {
    if (rec_->failWrites) {
      error_ = std::make_error_code(std::errc::no_space_on_device);
      return false;
    }
    rec_->writes.emplace_back(offset, n);
    return inner_->Write(offset, buf, n);
  }
  int64_t Size() override { return inner_->Size(); }
  bool Sync() override {
    ++rec_->syncs;
    if (rec_->failSync) {
      error_ = std::make_error_code(std::errc::io_error);
      return false;
    }
    return inner_->Sync();
  }
  bool Close() override {
    const bool ok = inner_->Close();
    if (rec_->failClose) {
      error_ = std::make_error_code(std::errc::io_error);
      return false;
    }
    return ok;
  }
  std::error_code LastError() const override { return error_ ? error_ : inner_->LastError(); }

 private:
  std::unique_ptr<RandomRWFile> inner_;
  std::shared_ptr<Recording> rec_;
  std::error_code error_;
};

class BufferedFileTest : public FileTest {
 protected:
  std::unique_ptr<RandomRWFile> OpenReal(const fs::path& path, OpenMode mode) {
    std::error_code ec;
    auto file = DefaultEnv()->Open(path, mode, ec);
    EXPECT_TRUE(file != nullptr) << path << ": " << ec.message();
    return file;
  }

  // A BufferedFile over `path` with a recording file between the two.
  std::unique_ptr<BufferedFile> OpenRecorded(const fs::path& path, size_t pageSize,
                                             size_t maxPages) {
    auto real = OpenReal(path, OpenMode::kReadWriteShared);
    if (!real) return nullptr;
    return std::make_unique<BufferedFile>(std::make_unique<RecordingFile>(std::move(real), rec_),
                                          pageSize, maxPages);
  }

  std::shared_ptr<Recording> rec_ = std::make_shared<Recording>();
};

std::string ReadAll(RandomRWFile& file, int64_t offset, size_t n, int64_t* got) {
  std::string buf(n, '\xEE');
  *got = file.Read(offset, buf.data(), n);
  return buf.substr(0, *got > 0 ? static_cast<size_t>(*got) : 0);
}

std::string Pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Writes `bytes` at `offset` of the model, with zeros in the gap before it.
void ModelWrite(std::string& model, int64_t offset, std::string_view bytes) {
  const auto end = static_cast<size_t>(offset) + bytes.size();
  if (model.size() < end) model.resize(end, '\0');
  model.replace(static_cast<size_t>(offset), bytes.size(), bytes);
}

// ---- the randomized model test ----

struct ModelCase {
  const char* name;
  size_t pageSize;
  size_t maxPages;
  size_t initialSize;  // bytes the file holds before it is opened
  uint32_t seed;
  int steps;
};

void PrintTo(const ModelCase& c, std::ostream* os) {
  *os << c.name;
}

class BufferedFileModelTest : public BufferedFileTest,
                              public ::testing::WithParamInterface<ModelCase> {};

TEST_P(BufferedFileModelTest, AgreesWithAnInMemoryModel) {
  const ModelCase& c = GetParam();
  const fs::path path = Path("data.bin");
  std::string model = Pattern(c.initialSize, c.seed + 1);
  WriteBytes(path, model);
  // The source of the copies into the file, and the sink of the copies out of it.
  const std::string other = Pattern(8 * c.pageSize + 13, c.seed + 2);
  WriteBytes(Path("other.bin"), other);
  auto source = OpenReal(Path("other.bin"), OpenMode::kReadShared);
  auto sink = OpenReal(Path("sink.bin"), OpenMode::kCreateTruncate);
  auto real = OpenReal(path, OpenMode::kReadWriteShared);
  ASSERT_TRUE(source && sink && real);
  BufferedFile file(std::move(real), c.pageSize, c.maxPages);

  std::mt19937 rng(c.seed);
  auto uniform = [&](int64_t lo, int64_t hi) {  // [lo, hi]
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };
  const auto P = static_cast<int64_t>(c.pageSize);
  auto size = [&] { return static_cast<int64_t>(model.size()); };

  for (int step = 0; step < c.steps; ++step) {
    const int64_t op = uniform(0, 99);
    std::string what;
    if (op < 20) {  // a small write anywhere up to a little past the end
      const int64_t offset = uniform(0, size() + 8);
      const std::string bytes = Pattern(static_cast<size_t>(uniform(1, 16)), rng());
      what = "small write at " + std::to_string(offset);
      ASSERT_TRUE(file.Write(offset, bytes.data(), bytes.size())) << what;
      ModelWrite(model, offset, bytes);
    } else if (op < 35) {  // a write across one or two page boundaries
      const int64_t boundary = P * uniform(1, size() / P + 2);
      const int64_t offset = std::max<int64_t>(0, boundary - uniform(1, P / 2));
      const std::string bytes = Pattern(static_cast<size_t>(uniform(P / 2, 2 * P + P / 2)), rng());
      what = "straddling write at " + std::to_string(offset);
      ASSERT_TRUE(file.Write(offset, bytes.data(), bytes.size())) << what;
      ModelWrite(model, offset, bytes);
    } else if (op < 43) {  // past the end, leaving a gap
      const int64_t offset = size() + uniform(1, 3 * P);
      const std::string bytes = Pattern(static_cast<size_t>(uniform(1, P)), rng());
      what = "gap write at " + std::to_string(offset);
      ASSERT_TRUE(file.Write(offset, bytes.data(), bytes.size())) << what;
      ModelWrite(model, offset, bytes);
    } else if (op < 50) {  // a large write that goes straight through
      const int64_t offset = uniform(0, size() + P);
      const std::string bytes = Pattern(static_cast<size_t>(uniform(4 * P, 6 * P)), rng());
      what = "large write at " + std::to_string(offset);
      ASSERT_TRUE(file.Write(offset, bytes.data(), bytes.size())) << what;
      ModelWrite(model, offset, bytes);
    } else if (op < 65) {  // a read anywhere, the end included
      const int64_t offset = uniform(0, size() + P);
      const auto n = static_cast<size_t>(uniform(0, 3 * P));
      what = "read at " + std::to_string(offset);
      int64_t got;
      const std::string bytes = ReadAll(file, offset, n, &got);
      const std::string want =
          offset < size() ? model.substr(static_cast<size_t>(offset), n) : std::string();
      ASSERT_EQ(got, static_cast<int64_t>(want.size())) << what;
      ASSERT_EQ(bytes, want) << what;
    } else if (op < 75) {  // a copy out of the file
      if (size() == 0) continue;
      const int64_t offset = uniform(0, size() - 1);
      const auto n = static_cast<size_t>(uniform(1, std::min<int64_t>(size() - offset, 5 * P)));
      const int64_t at = uniform(0, 3);
      what = "copy out of [" + std::to_string(offset) + ", " + std::to_string(offset + n) + ")";
      ASSERT_TRUE(file.CopyTo(offset, *sink, at, n)) << what;
      int64_t got;
      ASSERT_EQ(ReadAll(*sink, at, n, &got), model.substr(static_cast<size_t>(offset), n)) << what;
    } else if (op < 85) {  // a copy into the file (the kernel copy asks for CopyTarget)
      const int64_t from = uniform(0, static_cast<int64_t>(other.size()) - 1);
      const auto n = static_cast<size_t>(
          uniform(1, std::min<int64_t>(static_cast<int64_t>(other.size()) - from, 5 * P)));
      const int64_t offset = uniform(0, size() + P);
      what = "copy into " + std::to_string(offset);
      ASSERT_TRUE(source->CopyTo(from, file, offset, n)) << what;
      ModelWrite(model, offset, std::string_view(other).substr(static_cast<size_t>(from), n));
    } else if (op < 90) {  // a writer that uses CopyTarget itself
      const int64_t offset = uniform(0, size() + P);
      const std::string bytes = Pattern(static_cast<size_t>(uniform(1, 3 * P)), rng());
      what = "write to the copy target at " + std::to_string(offset);
      RandomRWFile* target = file.CopyTarget(offset, bytes.size());
      ASSERT_NE(target, nullptr);
      ASSERT_TRUE(target->Write(offset, bytes.data(), bytes.size())) << what;
      ModelWrite(model, offset, bytes);
    } else if (op < 95) {  // Sync: the file below then holds every byte
      what = "sync";
      ASSERT_TRUE(file.Sync());
      ASSERT_EQ(ReadBytes(path), model) << "after " << what;
    } else {
      what = "flush";
      ASSERT_TRUE(file.Flush());
      ASSERT_EQ(ReadBytes(path), model) << "after " << what;
    }
    SCOPED_TRACE("step " + std::to_string(step) + ": " + what);
    ASSERT_EQ(file.Size(), size());
    int64_t got;
    ASSERT_EQ(ReadAll(file, 0, model.size() + 10, &got), model);
  }
  ASSERT_TRUE(file.Close());
  EXPECT_EQ(ReadBytes(path), model);
  int64_t got;
  EXPECT_EQ(ReadAll(file, 0, 1, &got), "");
  EXPECT_EQ(got, -1);  // closed
}

INSTANTIATE_TEST_SUITE_P(Mixes, BufferedFileModelTest,
                         ::testing::Values(ModelCase{"TwoTinyPages", 64, 2, 0, 1, 1500},
                                           ModelCase{"ThreePagesOverAFile", 64, 3, 1000, 2, 1500},
                                           ModelCase{"OddPageSize", 100, 4, 777, 3, 1500},
                                           ModelCase{"ManyPages", 512, 16, 20000, 4, 800},
                                           ModelCase{"AnotherSeed", 64, 3, 300, 5, 1500}),
                         [](const auto& info) { return std::string(info.param.name); });

// A copy out of a range that lies in a gap before bytes still held in the cache reads zeros
// there, as Read does.
TEST_F(BufferedFileTest, CopyToOfAGapBeforeCachedBytesCopiesZeros) {
  const fs::path path = Path("data.bin");
  WriteBytes(path, "");
  auto sink = OpenReal(Path("sink.bin"), OpenMode::kCreateTruncate);
  auto real = OpenReal(path, OpenMode::kReadWriteShared);
  ASSERT_TRUE(sink && real);
  BufferedFile file(std::move(real), 64, 4);
  ASSERT_TRUE(file.Write(1000, "x", 1));  // cached; the file below is still empty
  ASSERT_EQ(file.Size(), 1001);
  int64_t got;
  EXPECT_EQ(ReadAll(file, 100, 50, &got), std::string(50, '\0'));
  EXPECT_TRUE(file.CopyTo(100, *sink, 0, 50));
  EXPECT_EQ(ReadAll(*sink, 0, 50, &got), std::string(50, '\0'));
}

// ---- errors of the file below ----

TEST_F(BufferedFileTest, WriteErrorsOfTheFileBelowComeOut) {
  constexpr size_t P = 64;
  const struct Case {
    const char* name;
    // Writes with the failure in place and returns false where the failure showed.
    std::function<bool(BufferedFile&, Recording&)> run;
  } cases[] = {
      {"a large write fails at once",
       [](BufferedFile& f, Recording& r) {
         r.failWrites = true;
         const std::string big(4 * P, 'L');
         return f.Write(0, big.data(), big.size());
       }},
      {"a cached write fails at Flush",
       [](BufferedFile& f, Recording& r) {
         if (!f.Write(5, "abc", 3)) return true;
         r.failWrites = true;
         return f.Flush();
       }},
      {"a cached write fails at Sync",
       [](BufferedFile& f, Recording& r) {
         if (!f.Write(5, "abc", 3)) return true;
         r.failWrites = true;
         return f.Sync();
       }},
      {"a cached write fails at Close",
       [](BufferedFile& f, Recording& r) {
         if (!f.Write(5, "abc", 3)) return true;
         r.failWrites = true;
         return f.Close();
       }},
      {"a write that evicts pages fails",
       [](BufferedFile& f, Recording& r) {
         r.failWrites = true;
         bool ok = true;
         for (int p = 0; p < 8 && ok; ++p) ok = f.Write(p * static_cast<int64_t>(P), "page", 4);
         return ok && f.Flush();
       }},
      {"the file below fails to sync",
       [](BufferedFile& f, Recording& r) {
         if (!f.Write(5, "abc", 3)) return true;
         r.failSync = true;
         return f.Sync();
       }},
      {"the file below fails to close",
       [](BufferedFile& f, Recording& r) {
         if (!f.Write(5, "abc", 3)) return true;
         r.failClose = true;
         return f.Close();
       }},
      {"a large write over cached bytes fails to flush them",
       [](BufferedFile& f, Recording& r) {
         if (!f.Write(10, "cached", 6)) return true;
         r.failWrites = true;
         const std::string big(5 * P, 'L');
         return f.Write(0, big.data(), big.size());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = Path(std::string(c.name) + ".bin");
    WriteBytes(path, "0123456789");
    *rec_ = Recording{};
    auto file = OpenRecorded(path, P, 2);
    ASSERT_TRUE(file);
    EXPECT_FALSE(c.run(*file, *rec_));
    EXPECT_TRUE(file->LastError());
  }
}

TEST_F(BufferedFileTest, CachedBytesSurviveAFailedFlushAndGoOutOnTheNextOne) {
  const fs::path path = Path("data.bin");
  WriteBytes(path, "0123456789");
  auto file = OpenRecorded(path, 64, 2);
  ASSERT_TRUE(file);
  std::string model = "0123456789";
  rec_->failWrites = true;
  // Enough pages to overflow the cache: the eviction fails, the bytes stay cached.
  for (int p = 0; p < 6; ++p) {
    const std::string bytes = "page" + std::to_string(p);
    file->Write(p * 64 + 3, bytes.data(), bytes.size());
    ModelWrite(model, p * 64 + 3, bytes);
  }
  EXPECT_FALSE(file->Sync());
  EXPECT_EQ(ReadBytes(path), "0123456789");
  int64_t got;
  EXPECT_EQ(ReadAll(*file, 0, 1000, &got), model);

  rec_->failWrites = false;
  EXPECT_TRUE(file->Sync());
  EXPECT_EQ(ReadBytes(path), model);
  EXPECT_TRUE(file->Close());
  EXPECT_EQ(ReadBytes(path), model);
}

// ---- the writes the file below receives ----

TEST_F(BufferedFileTest, SmallWritesReachTheFileBelowAsFewLargeOnes) {
  const fs::path path = Path("data.bin");
  WriteBytes(path, "");
  auto file = OpenRecorded(path, size_t{1} << 16, 64);  // the default cache: 4 MiB
  ASSERT_TRUE(file);
  // Records of 100 bytes one after another, as a database file is written.
  constexpr size_t kRecord = 100;
  constexpr size_t kRecords = (size_t{12} << 20) / kRecord;
  std::string model;
  for (size_t i = 0; i < kRecords; ++i) {
    const std::string rec = Pattern(kRecord, static_cast<uint32_t>(i));
    ASSERT_TRUE(file->Write(static_cast<int64_t>(i * kRecord), rec.data(), rec.size()));
    model += rec;
  }
  ASSERT_TRUE(file->Close());
  EXPECT_EQ(ReadBytes(path), model);

  const auto& w = rec_->writes;
  ASSERT_FALSE(w.empty());
  EXPECT_LE(w.size(), 12u) << "12 MiB reached the file below in " << w.size() << " writes";
  // In offset order; a page that was only partly filled when it went out goes out again.
  for (size_t i = 0; i + 1 < w.size(); ++i) {
    EXPECT_GE(w[i].second, size_t{1} << 20) << "write " << i << " is small";
    EXPECT_GT(w[i + 1].first, w[i].first) << "writes out of offset order";
    EXPECT_LE(w[i + 1].first, w[i].first + static_cast<int64_t>(w[i].second))
        << "a gap between writes " << i << " and " << i + 1;
  }
}

TEST_F(BufferedFileTest, ScatteredSmallWritesReachTheFileBelowInOffsetOrder) {
  const fs::path path = Path("data.bin");
  const std::string original = Pattern(size_t{1} << 20, 7);
  WriteBytes(path, original);
  auto file = OpenRecorded(path, 4096, 512);
  ASSERT_TRUE(file);
  std::string model = original;
  std::mt19937 rng(11);
  for (int i = 0; i < 3000; ++i) {
    const auto offset = static_cast<int64_t>(rng() % (model.size() - 40));
    const std::string bytes = Pattern(1 + rng() % 40, rng());
    ASSERT_TRUE(file->Write(offset, bytes.data(), bytes.size()));
    ModelWrite(model, offset, bytes);
  }
  EXPECT_TRUE(rec_->writes.empty()) << "the cache holds all of it until Sync";
  ASSERT_TRUE(file->Sync());
  EXPECT_EQ(ReadBytes(path), model);
  const auto& w = rec_->writes;
  ASSERT_FALSE(w.empty());
  EXPECT_LE(w.size(), 4u);
  for (size_t i = 0; i + 1 < w.size(); ++i)
    EXPECT_LE(w[i].first + static_cast<int64_t>(w[i].second), w[i + 1].first)
        << "writes out of offset order";
  EXPECT_EQ(rec_->syncs, 1);
  ASSERT_TRUE(file->Close());
}

TEST_F(BufferedFileTest, LargeWritesGoStraightThrough) {
  const fs::path path = Path("data.bin");
  WriteBytes(path, "");
  auto file = OpenRecorded(path, 64, 4);
  ASSERT_TRUE(file);
  const std::string big = Pattern(4 * 64, 3);
  ASSERT_TRUE(file->Write(10, big.data(), big.size()));
  ASSERT_EQ(rec_->writes.size(), 1u);
  EXPECT_EQ(rec_->writes[0], (std::pair<int64_t, size_t>{10, big.size()}));
  EXPECT_EQ(ReadBytes(path), std::string(10, '\0') + big);
  ASSERT_TRUE(file->Close());
}

}  // namespace
}  // namespace zkq::platform
