// The Windows environment. Only the entry points exist so far; every file operation fails
// cleanly until the Windows port fills them in with the Win32 file API.
#include <windows.h>

#include <system_error>

#include "common/datetime.h"
#include "platform/env.h"

namespace zkq::platform {
namespace {

std::error_code NotSupported() {
  return std::make_error_code(std::errc::function_not_supported);
}

class WindowsEnv final : public Env {
 public:
  std::unique_ptr<RandomRWFile> Open(const fs::path&, OpenMode, std::error_code& ec) override {
    ec = NotSupported();
    return nullptr;
  }
  bool Exists(const fs::path& path) override {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  bool IsRegularFile(const fs::path& path) override {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
  bool IsDirectory(const fs::path& path) override {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  std::error_code Lstat(const fs::path& path, FileInfo& info) override {
    info = FileInfo{};
    const DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES)
      return std::make_error_code(std::errc::no_such_file_or_directory);
    info.type = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? FileInfo::Type::kLink
                : (a & FILE_ATTRIBUTE_DIRECTORY) != 0   ? FileInfo::Type::kDir
                                                        : FileInfo::Type::kFile;
    return {};
  }
  std::error_code RemoveFile(const fs::path&) override { return NotSupported(); }
  std::error_code Rename(const fs::path&, const fs::path&) override { return NotSupported(); }
  std::error_code Link(const fs::path&, const fs::path&) override { return NotSupported(); }
  // Folders need no flush on Windows: MoveFileExW with MOVEFILE_WRITE_THROUGH makes a rename
  // durable.
  std::error_code SyncDir(const fs::path&) override { return {}; }
  std::error_code ListDir(const fs::path&, std::vector<DirEntry>&) override {
    return NotSupported();
  }
  std::error_code CreateDir(const fs::path&) override { return NotSupported(); }
  std::error_code RemoveDir(const fs::path&) override { return NotSupported(); }
  std::unique_ptr<DirLock> LockDir(const fs::path&, std::error_code& ec) override {
    ec = NotSupported();
    return nullptr;
  }
  TDateTime Now() override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    CivilDateTime t{st.wYear,   st.wMonth,  st.wDay,         st.wHour,
                    st.wMinute, st.wSecond, st.wMilliseconds};
    return EncodeDateTime(t);
  }
  void SleepMs(int ms) override { Sleep(static_cast<DWORD>(ms)); }
};

}  // namespace

Env* DefaultEnv() {
  static WindowsEnv env;
  return &env;
}

fs::path ExecutablePath() {
  wchar_t buf[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  return fs::path(std::wstring(buf, n));
}

}  // namespace zkq::platform
