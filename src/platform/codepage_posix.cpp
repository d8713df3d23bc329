// Code page 936 through glibc's iconv ("GBK" is the same table as CP936).
#include <iconv.h>

#include <cerrno>
#include <string>

#include "platform/codepage.h"

namespace zkq::platform {
namespace {

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~Iconv() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) ::iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  // Converts as far as it can. Returns the number of input bytes consumed; `out` gets the
  // converted text. `ok` is false when conversion stopped at a bad or truncated sequence.
  size_t Convert(std::string_view in, std::string& out, bool& ok) {
    out.clear();
    ok = false;
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return 0;
    ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char buf[1024];
    for (;;) {
      char* dst = buf;
      size_t dst_left = sizeof buf;
      const size_t rc = ::iconv(cd_, &src, &src_left, &dst, &dst_left);
      out.append(buf, static_cast<size_t>(dst - buf));
      if (rc != static_cast<size_t>(-1)) break;
      if (errno == E2BIG) continue;
      return in.size() - src_left;  // EILSEQ or EINVAL: stopped at the bad byte
    }
    ok = true;
    return in.size();
  }

 private:
  iconv_t cd_;
};

std::optional<std::string> Run(const char* to, const char* from, std::string_view in) {
  Iconv cv(to, from);
  std::string out;
  bool ok;
  cv.Convert(in, out, ok);
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::string> GbkToUtf8(std::string_view gbk) {
  return Run("UTF-8", "GBK", gbk);
}

std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
  return Run("GBK", "UTF-8", utf8);
}

std::string GbkToDisplay(std::string_view gbk) {
  Iconv cv("UTF-8", "GBK");
  std::string result, part;
  while (!gbk.empty()) {
    bool ok;
    const size_t used = cv.Convert(gbk, part, ok);
    result += part;
    if (ok) break;
    result += "\xEF\xBF\xBD";  // U+FFFD for the byte that could not be converted
    gbk.remove_prefix(used + 1);
  }
  return result;
}

}  // namespace zkq::platform
