// The file services of the real environment and the safe replacement of files built on them.
#include "platform/env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include "support/test_support.h"

namespace zkq::platform {
namespace {

using test::FileTest;
using test::ReadBytes;
using test::WriteBytes;

class EnvTest : public FileTest {
 protected:
  Env* real() { return DefaultEnv(); }

  std::unique_ptr<RandomRWFile> OpenOk(const fs::path& path, OpenMode mode) {
    std::error_code ec;
    auto file = real()->Open(path, mode, ec);
    EXPECT_TRUE(file != nullptr) << path << ": " << ec.message();
    EXPECT_FALSE(ec);
    return file;
  }

  // Every file and folder below the scratch folder, relative, sorted.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir_.path()))
      names.push_back(fs::relative(e.path(), dir_.path()).generic_string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

std::string Read(RandomRWFile& file, int64_t offset, size_t n, int64_t* got) {
  std::string buf(n, '\xEE');
  *got = file.Read(offset, buf.data(), n);
  return buf.substr(0, *got > 0 ? static_cast<size_t>(*got) : 0);
}

// ---- the default environment ----

TEST_F(EnvTest, CopyToCopiesARangeBetweenFiles) {
  WriteBytes(Path("src"), "0123456789abcdef");
  WriteBytes(Path("dst"), "................");
  auto src = OpenOk(Path("src"), OpenMode::kReadShared);
  auto dst = OpenOk(Path("dst"), OpenMode::kReadWriteShared);
  ASSERT_TRUE(src && dst);
  EXPECT_TRUE(src->CopyTo(3, *dst, 10, 5));
  EXPECT_TRUE(src->CopyTo(0, *dst, 16, 2));   // past the end of the target: it grows
  EXPECT_FALSE(src->CopyTo(14, *dst, 0, 5));  // only 2 bytes left in the source
  dst->Close();
  EXPECT_EQ(ReadBytes(Path("dst")).substr(2), "........34567.01");
}

TEST_F(EnvTest, CurrentEnvIsTheFixturesUntilRestored) {
  EXPECT_EQ(CurrentEnv(), &env_);
  {
    EnvWrapper other(DefaultEnv());
    ScopedEnv scoped(&other);
    EXPECT_EQ(CurrentEnv(), &other);
  }
  EXPECT_EQ(CurrentEnv(), &env_);
  SetCurrentEnv(nullptr);
  EXPECT_EQ(CurrentEnv(), DefaultEnv());
  SetCurrentEnv(&env_);
}

TEST_F(EnvTest, PositionedReadsAndWrites) {
  auto file = OpenOk(Path("f.bin"), OpenMode::kCreateTruncate);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->Size(), 0);
  ASSERT_TRUE(file->Write(0, "hello", 5));
  ASSERT_TRUE(file->Write(10, "XY", 2));  // past the end: the gap reads as zero bytes
  ASSERT_TRUE(file->Write(1, "E", 1));
  EXPECT_EQ(file->Size(), 12);

  int64_t got;
  EXPECT_EQ(Read(*file, 0, 5, &got), "hEllo");
  EXPECT_EQ(got, 5);
  EXPECT_EQ(Read(*file, 3, 4, &got), std::string("lo\0\0", 4));
  EXPECT_EQ(Read(*file, 9, 10, &got), std::string("\0XY", 3));  // short read at the end
  EXPECT_EQ(got, 3);
  EXPECT_EQ(Read(*file, 12, 4, &got), "");
  EXPECT_EQ(got, 0);
  EXPECT_EQ(Read(*file, 100, 4, &got), "");
  EXPECT_EQ(got, 0);
  EXPECT_EQ(Read(*file, -1, 4, &got), "");
  EXPECT_EQ(got, -1);
  EXPECT_TRUE(file->LastError());
  EXPECT_FALSE(file->Write(-1, "x", 1));

  EXPECT_TRUE(file->Sync());
  EXPECT_TRUE(file->Close());
  EXPECT_TRUE(file->Close());  // a second close does nothing
  EXPECT_EQ(Read(*file, 0, 1, &got), "");
  EXPECT_EQ(got, -1);
  EXPECT_EQ(ReadBytes(Path("f.bin")), std::string("hEllo\0\0\0\0\0XY", 12));
}

// Flushes asked for while writing run beside the writes; the file ends up whole, and a handle
// closed with a flush still running waits for it.
TEST_F(EnvTest, BackgroundFlushesRunBesideTheWrites) {
  std::string expected;
  for (const bool syncAtEnd : {true, false}) {
    SCOPED_TRACE(syncAtEnd ? "synced, then closed" : "closed at once");
    fs::remove(Path("f.bin"));
    auto file = OpenOk(Path("f.bin"), OpenMode::kCreateExclusive);
    ASSERT_TRUE(file);
    expected.clear();
    for (int block = 0; block < 64; ++block) {
      const std::string bytes(65536, static_cast<char>('a' + block % 26));
      ASSERT_TRUE(file->Write(static_cast<int64_t>(expected.size()), bytes.data(), bytes.size()));
      expected += bytes;
      if (block % 4 == 3) file->StartWriteback(0, expected.size());
    }
    if (syncAtEnd) {
      EXPECT_TRUE(file->Sync());
    }
    EXPECT_TRUE(file->Close());
    file->StartWriteback(0, 1);  // after the close: nothing to do
    EXPECT_EQ(ReadBytes(Path("f.bin")), expected);
  }
}

TEST_F(EnvTest, OpenModes) {
  std::error_code ec;
  EXPECT_EQ(real()->Open(Path("absent"), OpenMode::kReadWriteShared, ec), nullptr);
  EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
  ec.clear();
  EXPECT_EQ(real()->Open(Path("absent"), OpenMode::kReadShared, ec), nullptr);
  EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(real()->Exists(Path("absent")));

  WriteBytes(Path("f.bin"), "0123456789");
  {
    auto rw = OpenOk(Path("f.bin"), OpenMode::kReadWriteShared);
    ASSERT_TRUE(rw);
    auto other = OpenOk(Path("f.bin"), OpenMode::kReadWriteShared);  // shared
    ASSERT_TRUE(other);
    EXPECT_EQ(rw->Size(), 10);
    ASSERT_TRUE(rw->Write(2, "ab", 2));
    int64_t got;
    EXPECT_EQ(Read(*other, 0, 4, &got), "01ab");
  }
  {
    auto ro = OpenOk(Path("f.bin"), OpenMode::kReadShared);
    ASSERT_TRUE(ro);
    EXPECT_FALSE(ro->Write(0, "z", 1));
    EXPECT_TRUE(ro->LastError());
  }
  EXPECT_EQ(ReadBytes(Path("f.bin")), "01ab456789");
  {
    auto created = OpenOk(Path("f.bin"), OpenMode::kCreateTruncate);  // empties the file
    ASSERT_TRUE(created);
    EXPECT_EQ(created->Size(), 0);
  }
  EXPECT_EQ(ReadBytes(Path("f.bin")), "");
}

TEST_F(EnvTest, OpenOfAFolderFails) {
  fs::create_directory(Path("Id.db"));
  for (OpenMode mode :
       {OpenMode::kReadShared, OpenMode::kReadWriteShared, OpenMode::kCreateTruncate}) {
    std::error_code ec;
    EXPECT_EQ(real()->Open(Path("Id.db"), mode, ec), nullptr) << static_cast<int>(mode);
    EXPECT_TRUE(ec);
  }
  EXPECT_TRUE(fs::is_directory(Path("Id.db")));
}

TEST_F(EnvTest, ExistsRegularFileDirectory) {
  WriteBytes(Path("file"), "x");
  fs::create_directory(Path("folder"));
  struct Case {
    const char* name;
    bool exists, regular, directory;
  };
  std::vector<Case> cases = {
      {"file", true, true, false},
      {"folder", true, false, true},  // a folder is not a regular file
      {"absent", false, false, false},
  };
#ifndef _WIN32
  fs::create_symlink(Path("file"), Path("link-to-file"));
  fs::create_symlink(Path("folder"), Path("link-to-folder"));
  fs::create_symlink(Path("gone"), Path("dangling"));
  cases.push_back({"link-to-file", true, true, false});
  cases.push_back({"link-to-folder", true, false, true});
  cases.push_back({"dangling", true, false, false});
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(real()->Exists(Path(c.name)), c.exists);
    EXPECT_EQ(real()->IsRegularFile(Path(c.name)), c.regular);
    EXPECT_EQ(real()->IsDirectory(Path(c.name)), c.directory);
  }
}

TEST_F(EnvTest, RenameReplacesTheTargetAndRemove) {
  WriteBytes(Path("a"), "new");
  WriteBytes(Path("b"), "old content");
  EXPECT_FALSE(real()->Rename(Path("a"), Path("b")));
  EXPECT_EQ(ReadBytes(Path("b")), "new");
  EXPECT_FALSE(real()->Exists(Path("a")));
  EXPECT_TRUE(real()->Rename(Path("a"), Path("c")));  // the source is gone
  EXPECT_FALSE(real()->Exists(Path("c")));

  EXPECT_FALSE(real()->RemoveFile(Path("b")));
  EXPECT_FALSE(real()->Exists(Path("b")));
  EXPECT_EQ(real()->RemoveFile(Path("b")), std::errc::no_such_file_or_directory);
  EXPECT_FALSE(real()->SyncDir(dir_.path()));
}

TEST_F(EnvTest, ReadWholeFileAcrossBufferSizes) {
  std::string bytes;
  for (int k = 0; k < 200000; ++k) bytes += static_cast<char>(k * 7 + k / 256);
  WriteBytes(Path("big"), bytes);
  std::string out = "stale";
  EXPECT_FALSE(ReadWholeFile(Path("big"), out));
  EXPECT_EQ(out, bytes);
  WriteBytes(Path("empty"), "");
  EXPECT_FALSE(ReadWholeFile(Path("empty"), out));
  EXPECT_EQ(out, "");
  EXPECT_EQ(ReadWholeFile(Path("absent"), out), std::errc::no_such_file_or_directory);
}

TEST_F(EnvTest, CopyFileFlushed) {
  std::string bytes;
  for (int k = 0; k < (5 << 19); ++k) bytes += static_cast<char>(k % 251);  // 2.5 MiB
  WriteBytes(Path("src"), bytes);
  WriteBytes(Path("dst"), "old");
  EXPECT_FALSE(CopyFileFlushed(Path("src"), Path("dst")));
  EXPECT_EQ(ReadBytes(Path("dst")), bytes);

  // A write that fails part way removes the incomplete copy.
  int writes = 0;
  env_.writeFault = [&](const fs::path&, int64_t, size_t) { return ++writes < 2; };
  EXPECT_EQ(CopyFileFlushed(Path("src"), Path("dst2")), std::errc::no_space_on_device);
  EXPECT_FALSE(fs::exists(Path("dst2")));
  EXPECT_EQ(writes, 2);
}

// ---- ReplaceWithTemp ----

class ReplaceTest : public EnvTest {
 protected:
  void SetUp() override {
    fs::create_directory(Path("db"));
    target_ = Path("db") / "Id.db";
    temp_ = Path("ID#$00.DB");
    WriteBytes(target_, kOld);
    WriteBytes(temp_, kNew);
    env_.renameFault = [this](const fs::path& from, const fs::path& to) -> std::error_code {
      renames_.push_back({from, to});
      if (renameFaults_.size() >= renames_.size()) return renameFaults_[renames_.size() - 1];
      return {};
    };
  }

  const std::string kOld = std::string("old database\0\x01\x02", 15);
  const std::string kNew = std::string("the new, compacted database\0\xFF", 29);
  fs::path target_, temp_;
  std::vector<std::pair<fs::path, fs::path>> renames_;
  std::vector<std::error_code> renameFaults_;  // one per rename, in order; empty = success
};

TEST_F(ReplaceTest, PlainRename) {
  EXPECT_FALSE(ReplaceWithTemp(temp_, target_));
  EXPECT_EQ(ReadBytes(target_), kNew);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"db", "db/Id.db"}));
  ASSERT_EQ(renames_.size(), 1u);
}

TEST_F(ReplaceTest, TargetNotThereYet) {
  fs::remove(target_);
  EXPECT_FALSE(ReplaceWithTemp(temp_, target_));
  EXPECT_EQ(ReadBytes(target_), kNew);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"db", "db/Id.db"}));
}

TEST_F(ReplaceTest, FailedRenameKeepsTheTarget) {
  renameFaults_ = {std::make_error_code(std::errc::permission_denied)};
  EXPECT_EQ(ReplaceWithTemp(temp_, target_), std::errc::permission_denied);
  EXPECT_EQ(ReadBytes(target_), kOld);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"db", "db/Id.db"}));
}

TEST_F(ReplaceTest, OtherVolumeCopiesBesideTheTarget) {
  renameFaults_ = {std::make_error_code(std::errc::cross_device_link)};
  EXPECT_FALSE(ReplaceWithTemp(temp_, target_));
  EXPECT_EQ(ReadBytes(target_), kNew);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"db", "db/Id.db"}));
  ASSERT_EQ(renames_.size(), 2u);
  EXPECT_EQ(renames_[1].first.parent_path(), target_.parent_path());
  EXPECT_NE(renames_[1].first, target_);
  EXPECT_EQ(renames_[1].second, target_);
}

TEST_F(ReplaceTest, OtherVolumeFailedCopyKeepsTheTarget) {
  renameFaults_ = {std::make_error_code(std::errc::cross_device_link)};
  std::vector<fs::path> written;
  env_.writeFault = [&](const fs::path& file, int64_t, size_t) {
    written.push_back(file);
    return false;
  };
  EXPECT_EQ(ReplaceWithTemp(temp_, target_), std::errc::no_space_on_device);
  EXPECT_EQ(ReadBytes(target_), kOld);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"db", "db/Id.db"}));
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(written[0].parent_path(), target_.parent_path());
}

TEST_F(ReplaceTest, OtherVolumeFailedSecondRenameKeepsTheTarget) {
  renameFaults_ = {std::make_error_code(std::errc::cross_device_link),
                   std::make_error_code(std::errc::permission_denied)};
  EXPECT_EQ(ReplaceWithTemp(temp_, target_), std::errc::permission_denied);
  EXPECT_EQ(ReadBytes(target_), kOld);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"db", "db/Id.db"}));
}

// ---- WriteFileReplacing ----

TEST_F(ReplaceTest, WriteFileReplacingCreatesAndReplaces) {
  EXPECT_FALSE(WriteFileReplacing(Path("db") / "new.txt", "a\r\n"));
  EXPECT_EQ(ReadBytes(Path("db") / "new.txt"), "a\r\n");
  std::vector<fs::path> written;
  env_.writeFault = [&](const fs::path& file, int64_t, size_t) {
    written.push_back(file);
    return true;
  };
  EXPECT_FALSE(WriteFileReplacing(target_, kNew));
  EXPECT_EQ(ReadBytes(target_), kNew);
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(written[0].parent_path(), target_.parent_path());  // written beside the target
  EXPECT_NE(written[0], target_);                              // never into it
  EXPECT_EQ(Listing(), (std::vector<std::string>{"ID#$00.DB", "db", "db/Id.db", "db/new.txt"}));
}

TEST_F(ReplaceTest, WriteFileReplacingFailedWriteKeepsTheTarget) {
  env_.writeFault = [](const fs::path&, int64_t, size_t) { return false; };
  EXPECT_EQ(WriteFileReplacing(target_, kNew), std::errc::no_space_on_device);
  EXPECT_EQ(ReadBytes(target_), kOld);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"ID#$00.DB", "db", "db/Id.db"}));
}

TEST_F(ReplaceTest, WriteFileReplacingFailedRenameKeepsTheTarget) {
  renameFaults_ = {std::make_error_code(std::errc::permission_denied)};
  EXPECT_EQ(WriteFileReplacing(target_, kNew), std::errc::permission_denied);
  EXPECT_EQ(ReadBytes(target_), kOld);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"ID#$00.DB", "db", "db/Id.db"}));
}

}  // namespace
}  // namespace zkq::platform
