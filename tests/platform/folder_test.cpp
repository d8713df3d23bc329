#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <vector>

#include "common/errors.h"
#include "platform/folder_copy.h"
#include "platform/folder_list.h"
#include "support/test_support.h"

namespace zkq {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::WriteBytes;

using FolderTest = test::FileTest;

TEST_F(FolderTest, ListFolderGivesGbkNamesInListOrder) {
  const fs::path dir = Path("list");
  fs::create_directories(dir / "sub");
  WriteBytes(dir / "b.txt", "");
  WriteBytes(dir / "A.txt", "");
  WriteBytes(dir / "\xE6\x88\x98\xE7\xA5\x9E", "");       // 战神 in UTF-8
  WriteBytes(dir / std::string("\xD5\xBD\xC9\xF1"), "");  // 战神 as raw GBK bytes
  WriteBytes(dir / "a.txt", "");

  const auto entries = platform::ListFolder(dir);
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.gbkName + (e.isFolder ? "/" : ""));
  // Letters folded first, raw bytes break ties; both forms of the GBK name read as GBK.
  EXPECT_EQ(names, (std::vector<std::string>{"A.txt", "a.txt", "b.txt", "sub/", "\xD5\xBD\xC9\xF1",
                                             "\xD5\xBD\xC9\xF1"}));
  EXPECT_THROW(platform::ListFolder(Path("missing")), FileError);
}

TEST_F(FolderTest, CopyFolderTreeCopiesUnderTheSourceNameAndReplaces) {
  WriteBytes(Path("src/Guilds/a.txt"), "");
  fs::create_directories(Path("src/Guilds/deep"));
  WriteBytes(Path("src/Guilds/a.txt"), "new");
  WriteBytes(Path("src/Guilds/deep/b.txt"), "b");
  fs::create_directories(Path("dst/x/Guilds"));
  WriteBytes(Path("dst/x/Guilds/a.txt"), "old");

  platform::CopyFolderTree({Path("src/Guilds")}, Path("dst/x"));
  EXPECT_EQ(ReadBytes(Path("dst/x/Guilds/a.txt")), "new");
  EXPECT_EQ(ReadBytes(Path("dst/x/Guilds/deep/b.txt")), "b");

  platform::CopyFolderTree({Path("src/Guilds")}, Path("made/on/the/way"));
  EXPECT_TRUE(fs::exists(Path("made/on/the/way/Guilds/deep/b.txt")));
  // No temporary file is left beside a copied one.
  EXPECT_EQ(std::distance(fs::directory_iterator(Path("dst/x/Guilds")), fs::directory_iterator()),
            2);
}

TEST_F(FolderTest, CopyFolderTreeAsksTheFilter) {
  fs::create_directories(Path("src/Guilds"));
  WriteBytes(Path("src/Guilds/keep.txt"), "k");
  WriteBytes(Path("src/Guilds/skip.txt"), "s");
  platform::CopyFolderTree(
      {Path("src/Guilds")}, Path("dst"),
      [](const fs::path& source, const fs::path&) { return source.filename() != "skip.txt"; });
  EXPECT_TRUE(fs::exists(Path("dst/Guilds/keep.txt")));
  EXPECT_FALSE(fs::exists(Path("dst/Guilds/skip.txt")));
}

TEST_F(FolderTest, CopyFolderTreeNeverFollowsALink) {
  fs::create_directories(Path("elsewhere"));
  fs::create_directories(Path("src/Guilds"));
  WriteBytes(Path("elsewhere/secret.txt"), "secret");
  WriteBytes(Path("src/Guilds/a.txt"), "a");
  fs::create_symlink(Path("elsewhere/secret.txt"), Path("src/Guilds/link.txt"));
  fs::create_directory_symlink(Path("elsewhere"), Path("src/Guilds/linkdir"));
  // A link planted at a destination file is replaced, not written through.
  WriteBytes(Path("victim.txt"), "victim");
  fs::create_directories(Path("dst/Guilds"));
  fs::create_symlink(Path("victim.txt"), Path("dst/Guilds/a.txt"));

  std::vector<fs::path> skipped;
  platform::CopyFolderTree({Path("src/Guilds")}, Path("dst"), nullptr, &skipped);

  EXPECT_EQ(skipped,
            (std::vector<fs::path>{Path("src/Guilds/link.txt"), Path("src/Guilds/linkdir")}));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("dst/Guilds/link.txt"))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("dst/Guilds/linkdir"))));
  EXPECT_FALSE(fs::is_symlink(Path("dst/Guilds/a.txt")));
  EXPECT_EQ(ReadBytes(Path("dst/Guilds/a.txt")), "a");
  EXPECT_EQ(ReadBytes(Path("victim.txt")), "victim");

  // A link where the copy puts a folder ends it before anything is written through it.
  fs::create_directories(Path("dst2"));
  fs::create_directory_symlink(Path("elsewhere"), Path("dst2/Guilds"));
  EXPECT_THROW(platform::CopyFolderTree({Path("src/Guilds")}, Path("dst2")), FileError);
  EXPECT_FALSE(fs::exists(Path("elsewhere/a.txt")));
}

TEST_F(FolderTest, CopyFolderTreeRefusesBeforeCopyingAndNamesThePath) {
  fs::create_directories(Path("zone/sub"));
  WriteBytes(Path("zone/Id.db"), "id");
  WriteBytes(Path("zone/sub/Kem.db"), "kem");
  struct Case {
    const char* label;
    std::vector<fs::path> sources;
    fs::path target;
    fs::path named;
  };
  const Case cases[] = {
      {"target inside the source", {Path("zone")}, Path("zone/bk"), Path("zone/bk")},
      {"target is the source's own folder", {Path("zone")}, Path(""), Path("")},
      {"a missing source, even after a good one",
       {Path("zone/sub"), Path("nothing")},
       Path("dst"),
       Path("nothing")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      platform::CopyFolderTree(c.sources, c.target);
      ADD_FAILURE() << "no error";
    } catch (const FileError& e) {
      EXPECT_EQ(e.path(), c.named);
    }
    EXPECT_FALSE(fs::exists(Path("zone/bk")));
    EXPECT_FALSE(fs::exists(Path("zone/zone")));
    EXPECT_FALSE(fs::exists(Path("dst")));
  }
}

TEST_F(FolderTest, CopyFolderTreeReportsAFailedWriteWithItsPath) {
  fs::create_directories(Path("src/Guilds"));
  WriteBytes(Path("src/Guilds/a.txt"), "a");
  env_.writeFault = [](const fs::path&, int64_t, size_t) { return false; };
  try {
    platform::CopyFolderTree({Path("src/Guilds")}, Path("dst"));
    ADD_FAILURE() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), Path("dst/Guilds/a.txt"));
  }
  EXPECT_FALSE(fs::exists(Path("dst/Guilds/a.txt")));
  EXPECT_FALSE(fs::exists(Path("dst/Guilds/a.txt.zkq-tmp")));
}

TEST_F(FolderTest, SplitSourcesKeepsAPathThatExistsWhole) {
  fs::create_directories(Path("a,b/Guilds"));
  EXPECT_EQ(platform::SplitSources(Path("a,b/Guilds")), std::vector<fs::path>{Path("a,b/Guilds")});
  EXPECT_EQ(platform::SplitSources(fs::path("x,y,,z")), (std::vector<fs::path>{"x", "y", "z"}));
}

}  // namespace
}  // namespace zkq
