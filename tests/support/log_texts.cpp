#include "support/log_texts.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "support/test_support.h"

namespace zkq::test {

std::string G(std::string_view utf8) {
  const auto gbk = platform::Utf8ToGbk(utf8);
  EXPECT_TRUE(gbk.has_value()) << utf8;
  return gbk.value_or(std::string());
}

std::string StripStamp(const std::string& entry) {
  const auto digits = [&](size_t at, size_t n) {
    if (at + n > entry.size()) return false;
    for (size_t i = at; i < at + n; ++i)
      if (entry[i] < '0' || entry[i] > '9') return false;
    return true;
  };
  const bool date = digits(0, 4) && entry.size() > 10 && entry[4] == '-' && digits(5, 2) &&
                    entry[7] == '-' && digits(8, 2) && entry[10] == ' ';
  EXPECT_TRUE(date) << "no stamp: " << entry;
  if (!date) return entry;
  const bool time = entry.size() > 19 && digits(11, 2) && entry[13] == ':' && digits(14, 2) &&
                    entry[16] == ':' && digits(17, 2) && entry[19] == ' ';
  return entry.substr(time ? 20 : 11);
}

Lines Texts(const Lines& entries) {
  Lines texts;
  for (const std::string& e : entries) texts.push_back(StripStamp(e));
  return texts;
}

Lines SavedTexts() {
  const std::string bytes = ReadBytes("Log.txt");
  Lines entries;
  size_t start = 0;
  for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
    entries.push_back(bytes.substr(start, end - start));
  EXPECT_EQ(start, bytes.size()) << "Log.txt does not end in CR LF";
  return Texts(entries);
}

Lines TakeRestorePointLines(Lines& texts, bool utf8) {
  const std::string head = utf8 ? std::string("还原点: ") : G("还原点: ");
  for (size_t i = 0; i < texts.size(); ++i) {
    if (texts[i].compare(0, head.size(), head) != 0) continue;
    size_t end = i + 1;
    while (end < texts.size() && texts[end].compare(0, 2, "  ") == 0) ++end;
    Lines taken(texts.begin() + static_cast<std::ptrdiff_t>(i),
                texts.begin() + static_cast<std::ptrdiff_t>(end));
    texts.erase(texts.begin() + static_cast<std::ptrdiff_t>(i),
                texts.begin() + static_cast<std::ptrdiff_t>(end));
    return taken;
  }
  return {};
}

}  // namespace zkq::test
