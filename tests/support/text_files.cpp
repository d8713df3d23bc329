#include "support/text_files.h"

#include "platform/codepage.h"

namespace zkq::test {
namespace {

std::filesystem::path ListName(const char8_t* stem, int zone) {
  std::filesystem::path name(stem);
  if (zone != 0) name += std::to_string(zone);
  name += ".txt";
  return name;
}

}  // namespace

std::string CrLf(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

std::filesystem::path U8(std::string_view utf8) {
  return platform::PathFromUtf8(utf8);
}

std::filesystem::path AccountListName(int zone) {
  return ListName(u8"ID更名列表", zone);
}

std::filesystem::path CharListName(int zone) {
  return ListName(u8"人物更名列表", zone);
}

}  // namespace zkq::test
