// Log texts in tests: GBK texts from UTF-8 literals, and the texts of stored log lines with their
// time stamps removed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

}  // namespace zkq::test
