#include "common/paths.h"

#include <mutex>
#include <optional>

#include "platform/env.h"

namespace zkq {
namespace {
std::mutex g_mutex;
std::optional<std::filesystem::path> g_override;
}  // namespace

std::string WithTrailingBackslash(std::string path) {
  if (path.empty() || path.back() == '\\') return path;
  path.push_back('\\');
  return path;
}

std::filesystem::path ProgramDir() {
  {
    std::lock_guard lock(g_mutex);
    if (g_override) return *g_override;
  }
  return platform::ExecutablePath().parent_path();
}

void SetProgramDirOverride(std::filesystem::path dir) {
  std::lock_guard lock(g_mutex);
  g_override = std::move(dir);
}

void ClearProgramDirOverride() {
  std::lock_guard lock(g_mutex);
  g_override.reset();
}

}  // namespace zkq
