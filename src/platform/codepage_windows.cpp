// Code page 936 through the Win32 code-page API.
#include <windows.h>

#include <string>

#include "platform/codepage.h"

namespace zkq::platform {
namespace {

std::optional<std::wstring> ToWide(UINT cp, std::string_view in) {
  if (in.empty()) return std::wstring();
  const int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in.data(),
                                    static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), out.data(),
                      n);
  return out;
}

std::optional<std::string> FromWide(UINT cp, const std::wstring& in) {
  if (in.empty()) return std::string();
  BOOL lossy = FALSE;
  BOOL* lossy_ptr = cp == CP_UTF8 ? nullptr : &lossy;
  const DWORD flags = cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  const int n = WideCharToMultiByte(cp, flags, in.data(), static_cast<int>(in.size()), nullptr, 0,
                                    nullptr, lossy_ptr);
  if (n <= 0 || lossy) return std::nullopt;
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, flags, in.data(), static_cast<int>(in.size()), out.data(), n, nullptr,
                      lossy_ptr);
  return out;
}

}  // namespace

std::optional<std::string> GbkToUtf8(std::string_view gbk) {
  auto w = ToWide(936, gbk);
  if (!w) return std::nullopt;
  return FromWide(CP_UTF8, *w);
}

std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
  auto w = ToWide(CP_UTF8, utf8);
  if (!w) return std::nullopt;
  return FromWide(936, *w);
}

std::string GbkToDisplay(std::string_view gbk) {
  std::string out;
  size_t i = 0;
  while (i < gbk.size()) {
    const auto c = static_cast<unsigned char>(gbk[i]);
    const size_t n = (c >= 0x81 && c <= 0xFE && i + 1 < gbk.size()) ? 2 : 1;
    if (auto u = GbkToUtf8(gbk.substr(i, n))) {
      out += *u;
      i += n;
    } else {
      out += "\xEF\xBF\xBD";  // only the bad byte is replaced; the next one starts afresh
      ++i;
    }
  }
  return out;
}

}  // namespace zkq::platform
