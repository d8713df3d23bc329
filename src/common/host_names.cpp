#include "common/host_names.h"

#include <string>

#include "common/gbk.h"
#include "common/progress_log.h"
#include "platform/codepage.h"

namespace zkq {

std::optional<std::filesystem::path> NameInFolder(const std::filesystem::path& dir,
                                                  std::string_view gbkName) {
  if (auto name = platform::GbkToHostFileName(gbkName)) return dir / *name;
  static const std::string text = Gbk("跳过无法用作文件名的名称: ");
  Log().LogLine(text + std::string(gbkName));
  return std::nullopt;
}

}  // namespace zkq
