// The progress and log model: the percent LogProgress computes, when the window shows, the time
// stamp of a line, "Log.txt" loaded at start and replaced by SaveLog, the bar's settings, the
// queued rebuild notifications and lines logged from several threads.
#include "common/progress_log.h"
#include "common/textfile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "support/test_support.h"

namespace zkq {
namespace {

using test::ReadBytes;
using test::WriteBytes;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// "重建数据库Kem.Db" in GBK.
const std::string kRebuildText = "\xD6\xD8\xBD\xA8\xCA\xFD\xBE\xDD\xBF\xE2Kem.Db";

// 2025-01-05; a clock reading of kDay + 0.75 is 18:00:00 that day.
constexpr TDateTime kDay = 45662.0;

class ProgressLogTest : public test::FileTest {
 protected:
  ProgressLogTest() { Log().Reset(); }
  ~ProgressLogTest() override { Log().Reset(); }

  // The clock's next reading is `value`.
  void NextReadingIs(TDateTime value) { env_.clock = value - env_.step; }
};

// The text behind the stamp "yyyy-MM-dd HH:mm:ss " of a stored line.
std::string TextOf(const std::string& entry) {
  return entry.size() >= 20 ? entry.substr(20) : std::string();
}

TEST_F(ProgressLogTest, LogProgressSetsPercentRoundedHalfToEvenAndAlwaysAddsTheLine) {
  struct Case {
    int32_t position, total;
    uint16_t percent;
  };
  const Case cases[] = {
      {1, 8, 12},    // 12.5: to the even 12
      {3, 8, 38},    // 37.5: to the even 38
      {5, 8, 62},    // 62.5
      {7, 8, 88},    // 87.5
      {5, 200, 2},   // 2.5
      {7, 200, 4},   // 3.5
      {1, 3, 33},    // 33.3
      {2, 3, 67},    // 66.7
      {8, 8, 100},   //
      {0, 8, 0},     //
      {5, 0, 0},     // no division by zero
      {3, -8, 0},    // a negative total counts as none
      {-3, -8, 0},   //
      {1, 1000, 0},  // 0.1
      {999, 1000, 100},
  };
  Lines expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.position << "/" << c.total);
    // Start from another value, so that a Percent left unchanged shows.
    Log().SetPercent(77);
    const std::string text = "step " + std::to_string(c.position) + "/" + std::to_string(c.total);
    Log().LogProgress(text, c.position, c.total);
    EXPECT_EQ(Log().Percent(), c.percent);
    EXPECT_EQ(Log().Status(), text);
    expected.push_back(text);
  }
  Lines texts;
  for (const std::string& entry : Log().Lines()) texts.push_back(TextOf(entry));
  EXPECT_EQ(texts, expected);
}

TEST_F(ProgressLogTest, OnlyLogLineShowsTheWindow) {
  EXPECT_FALSE(Log().Visible());
  EXPECT_EQ(Log().Status(), ":");
  Log().LogProgress("counted", 1, 2);
  EXPECT_FALSE(Log().Visible());
  EXPECT_EQ(Log().Status(), "counted");
  Log().LogLine("shown");
  EXPECT_TRUE(Log().Visible());
  EXPECT_EQ(Log().Status(), "shown");

  // Closed by the user: progress keeps it closed, the next line brings it back.
  Log().Hide();
  Log().LogProgress("counted again", 2, 2);
  EXPECT_FALSE(Log().Visible());
  Log().LogLine("shown again");
  EXPECT_TRUE(Log().Visible());
  EXPECT_EQ(Log().Lines().size(), 4u);
}

TEST_F(ProgressLogTest, TwoEqualLinesAreTwoEntries) {
  Log().LogLine("same");
  Log().LogLine("same");
  const Lines lines = Log().Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(TextOf(lines[0]), "same");
  EXPECT_EQ(TextOf(lines[1]), "same");
}

TEST_F(ProgressLogTest, EachLineIsStampedWithOneReadingOfTheClock) {
  env_.step = 1.0 / 1024;  // 84.375 seconds
  NextReadingIs(kDay + 0.75);
  Log().LogLine("first");
  Log().LogProgress("\xBA\xCF\xB2\xA2", 1, 2);  // GBK text is stored as it is
  NextReadingIs(kDay + 59.0 / 86400);  // 00:00:59, a fraction that binary cannot hold exactly
  Log().LogLine("early");
  EXPECT_EQ(Log().Lines(),
            (Lines{"2025-01-05 18:00:00 first", "2025-01-05 18:01:24 \xBA\xCF\xB2\xA2",
                   "2025-01-05 00:00:59 early"}));
}

TEST_F(ProgressLogTest, ExactlyMidnightShowsTheDateOnly) {
  NextReadingIs(kDay + 1);
  Log().LogLine("at midnight");
  Log().LogLine("after it");
  EXPECT_EQ(Log().Lines(), (Lines{"2025-01-06 at midnight", "2025-01-06 00:01:24 after it"}));
}

TEST_F(ProgressLogTest, SaveLogWritesTheStartLinesAndTheNewOnesThenOnlyWhatFollowed) {
  NextReadingIs(kDay + 0.75);
  // The file of an earlier run, with mixed line ends and GBK text.
  WriteBytes(dir_ / "Log.txt", "2025-01-04 10:00:00 one\r\n2025-01-04 \xC8\xCB two\nthree\r");
  Log().LoadLogFile();
  EXPECT_EQ(Log().Lines().size(), 3u);

  Log().LogLine("four");
  Log().LogProgress("five", 1, 2);
  Log().SaveLog();
  EXPECT_EQ(ReadBytes(dir_ / "Log.txt"),
            "2025-01-04 10:00:00 one\r\n2025-01-04 \xC8\xCB two\r\nthree\r\n"
            "2025-01-05 18:00:00 four\r\n2025-01-05 18:01:24 five\r\n");
  EXPECT_TRUE(Log().Lines().empty());

  Log().LogLine("six");
  Log().SaveLog();
  EXPECT_EQ(ReadBytes(dir_ / "Log.txt"), "2025-01-05 18:02:48 six\r\n");
  EXPECT_TRUE(Log().Lines().empty());
}

// A long job's lines outgrow memory and move to a temporary file; none may be lost or reordered
// on the way to "Log.txt", and the lines logged after a save start afresh.
TEST_F(ProgressLogTest, ManyLinesAreAllSavedInOrder) {
  constexpr int kLines = 120000;  // about 8 MB of log, more than is kept in memory
  const std::string filler(40, 'x');
  for (int i = 0; i < kLines; ++i) Log().LogProgress(std::to_string(i) + filler, i, kLines);
  const Lines before = Log().Lines();
  ASSERT_EQ(before.size(), static_cast<size_t>(kLines));
  EXPECT_EQ(TextOf(before.front()), "0" + filler);
  EXPECT_EQ(TextOf(before.back()), std::to_string(kLines - 1) + filler);

  Log().SaveLog();
  const Lines saved = SplitLines(ReadBytes(dir_ / "Log.txt"));
  EXPECT_EQ(saved, before);
  EXPECT_TRUE(Log().Lines().empty());

  Log().LogLine("after");
  Log().SaveLog();
  const Lines after = SplitLines(ReadBytes(dir_ / "Log.txt"));
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(TextOf(after[0]), "after");
}

TEST_F(ProgressLogTest, NoLogFileAtStartGivesNoLines) {
  Log().LoadLogFile();
  EXPECT_TRUE(Log().Lines().empty());
  EXPECT_FALSE(fs::exists(dir_ / "Log.txt"));
}

TEST_F(ProgressLogTest, SaveLogOntoAFolderThrowsAndKeepsTheLines) {
  fs::create_directory(dir_ / "Log.txt");
  Log().LogLine("kept");
  Log().LogLine("kept too");
  const Lines before = Log().Lines();
  try {
    Log().SaveLog();
    ADD_FAILURE() << "SaveLog onto a folder did not throw";
  } catch (const FileError& e) {
    EXPECT_EQ(e.path().filename(), "Log.txt");
    EXPECT_FALSE(e.reason().empty());
  }
  EXPECT_EQ(Log().Lines(), before);
  EXPECT_TRUE(fs::is_directory(dir_ / "Log.txt"));

  // Once the way is clear, the kept lines are written.
  fs::remove(dir_ / "Log.txt");
  Log().SaveLog();
  EXPECT_EQ(ReadBytes(dir_ / "Log.txt"), before[0] + "\r\n" + before[1] + "\r\n");
}

TEST_F(ProgressLogTest, AFailedWriteKeepsTheOldLogFileAndTheLines) {
  WriteBytes(dir_ / "Log.txt", "old line\r\n");
  Log().LogLine("new line");
  env_.writeFault = [](const fs::path&, int64_t, size_t) { return false; };
  EXPECT_THROW(Log().SaveLog(), FileError);
  env_.writeFault = nullptr;
  EXPECT_EQ(ReadBytes(dir_ / "Log.txt"), "old line\r\n");
  EXPECT_EQ(Log().Lines().size(), 1u);
}

TEST_F(ProgressLogTest, ANewTotalPartsEmptiesTheBarAndTheSameOneChangesNothing) {
  EXPECT_EQ(Log().Percent(), 0);
  EXPECT_EQ(Log().TotalParts(), 0u);
  // The end of a character data merge: Percent 100, then TotalParts 100.
  Log().SetPercent(100);
  Log().SetTotalParts(100);
  EXPECT_EQ(Log().Percent(), 0);
  EXPECT_EQ(Log().TotalParts(), 100u);
  EXPECT_EQ(Log().PartsComplete(), 0u);
  // The second merge of a program run: TotalParts is already 100.
  Log().SetPercent(100);
  Log().SetTotalParts(100);
  EXPECT_EQ(Log().Percent(), 100);
  EXPECT_EQ(Log().TotalParts(), 100u);
  EXPECT_EQ(Log().PartsComplete(), 0u);
}

// Records what observers are told, in order.
class Recorder : public ProgressLog::Observer {
 public:
  void OnLine(const std::string& entry, const std::string& text, bool fromLogLine) override {
    events.push_back((fromLogLine ? "line " : "progress ") + TextOf(entry) + "|" + text);
  }
  void OnBar(uint16_t percent, uint32_t totalParts) override {
    events.push_back("bar " + std::to_string(percent) + "/" + std::to_string(totalParts));
  }
  void OnQueued() override { ++queued; }

  std::vector<std::string> events;
  std::atomic<int> queued{0};
};

TEST_F(ProgressLogTest, RebuildNotificationsWaitForDeliveryAndAreShownInOrder) {
  Recorder recorder;
  Log().AddObserver(&recorder);
  Log().PostRebuildProgress(1, 8);
  Log().PostRebuildProgress(3, 8);
  Log().PostRebuildProgress(8, 8);
  EXPECT_EQ(recorder.queued, 3);
  EXPECT_TRUE(Log().Lines().empty());
  EXPECT_EQ(Log().Percent(), 0);

  EXPECT_EQ(Log().DeliverQueued(), 3u);
  Log().RemoveObserver(&recorder);
  const std::string p = "progress " + kRebuildText + "|" + kRebuildText;
  EXPECT_EQ(recorder.events, (Lines{"bar 12/0", p, "bar 38/0", p, "bar 100/0", p}));
  const Lines lines = Log().Lines();
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& line : lines) EXPECT_EQ(TextOf(line), kRebuildText);
  EXPECT_EQ(Log().Percent(), 100);
  EXPECT_FALSE(Log().Visible());  // progress does not show the window

  EXPECT_EQ(Log().DeliverQueued(), 0u);
  EXPECT_EQ(Log().Lines().size(), 3u);
}

// The rebuild posts while the displaying thread is busy inside the log: posting must return at
// once, and the notification is still delivered afterwards.
TEST_F(ProgressLogTest, PostingDoesNotWaitForABusyLog) {
  class Blocker : public ProgressLog::Observer {
   public:
    void OnLine(const std::string&, const std::string&, bool) override {
      std::unique_lock lock(m);
      entered = true;
      cv.notify_all();
      cv.wait(lock, [this] { return released; });
    }
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, released = false;
  } blocker;

  Log().AddObserver(&blocker);
  std::thread busy([] { Log().LogLine("busy"); });
  {
    std::unique_lock lock(blocker.m);
    blocker.cv.wait(lock, [&] { return blocker.entered; });
  }
  auto post = std::async(std::launch::async, [] { Log().PostRebuildProgress(2, 4); });
  const bool returned = post.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  {
    std::lock_guard lock(blocker.m);
    blocker.released = true;
  }
  blocker.cv.notify_all();
  busy.join();
  post.wait();
  Log().RemoveObserver(&blocker);
  EXPECT_TRUE(returned) << "posting waited for the busy log";

  EXPECT_EQ(Log().DeliverQueued(), 1u);
  const Lines lines = Log().Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(TextOf(lines[1]), kRebuildText);
  EXPECT_EQ(Log().Percent(), 50);
}

TEST_F(ProgressLogTest, LinesFromSeveralThreadsKeepEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 300;
  env_.step = 0;  // every line at 18:00:00, so that no stamp falls on midnight
  env_.clock = kDay + 0.75;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &go] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i) {
        const std::string text = std::to_string(t) + ":" + std::to_string(i);
        if (i % 2 == 0)
          Log().LogLine(text);
        else
          Log().LogProgress(text, i, kPerThread);
      }
    });
  go = true;
  for (std::thread& th : threads) th.join();

  const Lines lines = Log().Lines();
  ASSERT_EQ(lines.size(), size_t{kThreads * kPerThread});
  std::map<int, int> next;
  for (const std::string& line : lines) {
    // Every line is whole: a stamp, a blank and one thread's text.
    const std::string text = TextOf(line);
    const size_t colon = text.find(':');
    ASSERT_NE(colon, std::string::npos) << line;
    const int t = std::stoi(text.substr(0, colon));
    const int i = std::stoi(text.substr(colon + 1));
    EXPECT_EQ(i, next[t]) << "thread " << t << " out of order";
    next[t] = i + 1;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kPerThread);
}

}  // namespace
}  // namespace zkq
