#include "common/gbk.h"

#include "platform/codepage.h"

namespace zkq {

std::string Gbk(std::string_view utf8) {
  if (auto gbk = platform::Utf8ToGbk(utf8)) return *gbk;
  return platform::PathToGbk(platform::PathFromUtf8(utf8));  // lossy, one character at a time
}

}  // namespace zkq
