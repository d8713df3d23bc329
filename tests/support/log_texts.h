// Log texts in tests: GBK texts from UTF-8 literals, the texts of stored log lines with their
// time stamps removed, and observers that record what the log shows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/progress_log.h"

namespace zkq::test {

using Lines = std::vector<std::string>;

// The GBK bytes of a UTF-8 text; a text without a GBK form fails the test and gives "".
std::string G(std::string_view utf8);

// The text of a stored line: the stamp "yyyy-MM-dd" and, unless it is midnight, " HH:mm:ss",
// then one blank, are removed. A line without a stamp fails the test and is given back whole.
std::string StripStamp(const std::string& entry);

// StripStamp of every line.
Lines Texts(const Lines& entries);

// The texts of "Log.txt" in the current folder, which must be CR LF text.
Lines SavedTexts();

// Takes the lines that name a job's restore point ("还原点: <list>" and the indented lines that
// follow it) out of `texts` and gives them back; empty when there are none. The texts are GBK,
// or UTF-8 (as printed) with `utf8`.
Lines TakeRestorePointLines(Lines& texts, bool utf8 = false);

// Collects the status texts of the log's lines; the owner adds it to the log and removes it.
class TextRecorder : public ProgressLog::Observer {
 public:
  void OnLine(const std::string&, const std::string& text, bool) override { texts.push_back(text); }
  Lines texts;
};

// The texts of the progress lines (not those of log lines) and the bar's percent at each; it
// observes the log while it lives.
class ProgressRecorder : public ProgressLog::Observer {
 public:
  ProgressRecorder() : percent_(Log().Percent()) { Log().AddObserver(this); }
  ~ProgressRecorder() override { Log().RemoveObserver(this); }
  ProgressRecorder(const ProgressRecorder&) = delete;
  ProgressRecorder& operator=(const ProgressRecorder&) = delete;
  void OnLine(const std::string&, const std::string& text, bool fromLogLine) override {
    if (!fromLogLine) lines.emplace_back(text, percent_);
  }
  void OnBar(uint16_t percent, uint32_t) override { percent_ = percent; }

  std::vector<std::pair<std::string, int>> lines;

 private:
  int percent_;
};

}  // namespace zkq::test
