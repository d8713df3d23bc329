// The system's own texts (messages, log lines, file names) are written in UTF-8 in the source and
// used as GBK bytes, the encoding of every file and log line.
#pragma once

#include <string>
#include <string_view>

namespace zkq {

// The GBK bytes of a UTF-8 text. Every text of the system has a GBK form; a character that had
// none would show as "?".
std::string Gbk(std::string_view utf8);

}  // namespace zkq
