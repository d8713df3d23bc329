#include <gtest/gtest.h>

#include <filesystem>

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

  EXPECT_TRUE(platform::CopyFolderTree({Path("src/Guilds")}, Path("dst/x")));
  EXPECT_EQ(ReadBytes(Path("dst/x/Guilds/a.txt")), "new");
  EXPECT_EQ(ReadBytes(Path("dst/x/Guilds/deep/b.txt")), "b");

  EXPECT_TRUE(platform::CopyFolderTree({Path("src/Guilds")}, Path("made/on/the/way")));
  EXPECT_TRUE(fs::exists(Path("made/on/the/way/Guilds/deep/b.txt")));
  EXPECT_FALSE(platform::CopyFolderTree({Path("nothing")}, Path("dst")));
}

TEST_F(FolderTest, CopyFolderTreeAsksTheFilter) {
  fs::create_directories(Path("src/Guilds"));
  WriteBytes(Path("src/Guilds/keep.txt"), "k");
  WriteBytes(Path("src/Guilds/skip.txt"), "s");
  EXPECT_TRUE(platform::CopyFolderTree(
      {Path("src/Guilds")}, Path("dst"),
      [](const fs::path& source, const fs::path&) { return source.filename() != "skip.txt"; }));
  EXPECT_TRUE(fs::exists(Path("dst/Guilds/keep.txt")));
  EXPECT_FALSE(fs::exists(Path("dst/Guilds/skip.txt")));
}

TEST_F(FolderTest, SplitSourcesKeepsAPathThatExistsWhole) {
  fs::create_directories(Path("a,b/Guilds"));
  EXPECT_EQ(platform::SplitSources(Path("a,b/Guilds")), std::vector<fs::path>{Path("a,b/Guilds")});
  EXPECT_EQ(platform::SplitSources(fs::path("x,y,,z")), (std::vector<fs::path>{"x", "y", "z"}));
}

}  // namespace
}  // namespace zkq
