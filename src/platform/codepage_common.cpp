#include "platform/codepage.h"

namespace zkq::platform {

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    for (size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size()) return false;
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = cp << 6 | (cc & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

std::optional<std::filesystem::path> GbkToHostFileName(std::string_view gbkName) {
  if (gbkName.empty()) return std::nullopt;
  auto host = GbkToUtf8(gbkName);
  if (!host || host->empty() || *host == "." || *host == "..") return std::nullopt;
  if (host->find('/') != std::string::npos || host->find('\\') != std::string::npos ||
      host->find('\0') != std::string::npos)
    return std::nullopt;
#ifdef _WIN32
  if (host->find(':') != std::string::npos) return std::nullopt;
  return std::filesystem::path(std::u8string(host->begin(), host->end()));
#else
  return std::filesystem::path(*host);
#endif
}

std::optional<std::string> HostFileNameToGbk(const std::filesystem::path& name) {
#ifdef _WIN32
  const std::u8string u8 = name.u8string();
  return Utf8ToGbk(std::string(u8.begin(), u8.end()));
#else
  const std::string& raw = name.native();
  if (!IsValidUtf8(raw)) return raw;
  return Utf8ToGbk(raw);
#endif
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
#ifdef _WIN32
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
#else
  return std::filesystem::path(std::string(utf8));
#endif
}

namespace {
// UTF-8 to GBK, one character at a time where the whole text has no GBK form.
std::string Utf8ToGbkLossy(std::string_view utf8) {
  if (auto whole = Utf8ToGbk(utf8)) return *whole;
  std::string out;
  size_t i = 0;
  while (i < utf8.size()) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    if (i + n > utf8.size()) n = utf8.size() - i;
    auto one = Utf8ToGbk(utf8.substr(i, n));
    out += one ? *one : std::string("?");
    i += n;
  }
  return out;
}
}  // namespace

std::string PathToGbk(const std::filesystem::path& path) {
#ifdef _WIN32
  const std::u8string u8 = path.u8string();
  return Utf8ToGbkLossy(std::string(u8.begin(), u8.end()));
#else
  const std::string& raw = path.native();
  if (!IsValidUtf8(raw)) return raw;
  return Utf8ToGbkLossy(raw);
#endif
}

}  // namespace zkq::platform
