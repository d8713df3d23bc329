#include "support/fault_env.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>

namespace zkq::test {

namespace fs = std::filesystem;

namespace {

std::mutex g_mutex;

class CountingFile final : public platform::RandomRWFile {
 public:
  CountingFile(std::unique_ptr<platform::RandomRWFile> inner, CountingFaultEnv* env)
      : inner_(std::move(inner)), env_(env) {}

  int64_t Read(int64_t offset, void* buf, size_t n) override {
    if (env_->Hit(Op::kRead)) return Fail();
    return inner_->Read(offset, buf, n);
  }
  bool Write(int64_t offset, const void* buf, size_t n) override {
    if (env_->Hit(Op::kWrite)) return Fail() == 0;
    return inner_->Write(offset, buf, n);
  }
  int64_t Size() override { return inner_->Size(); }
  bool Sync() override {
    if (env_->Hit(Op::kFlush)) return Fail() == 0;
    return inner_->Sync();
  }
  bool Close() override { return inner_->Close(); }
  std::error_code LastError() const override { return fault_ ? fault_ : inner_->LastError(); }
  bool CopyTo(int64_t offset, platform::RandomRWFile& dst, int64_t dstOffset, size_t n) override {
    if (env_->Hit(Op::kCopy)) return Fail() == 0;
    return inner_->CopyTo(offset, dst, dstOffset, n);
  }
  void StartWriteback(int64_t offset, size_t n) override { inner_->StartWriteback(offset, n); }
  std::error_code SetOwnerAndMode(uint32_t mode, uint32_t uid, uint32_t gid) override {
    return inner_->SetOwnerAndMode(mode, uid, gid);
  }

 private:
  int64_t Fail() {
    fault_ = InjectedFault();
    return -1;
  }

  std::unique_ptr<platform::RandomRWFile> inner_;
  CountingFaultEnv* env_;
  std::error_code fault_;
};

}  // namespace

const char* OpName(Op op) {
  switch (op) {
    case Op::kWrite:
      return "write";
    case Op::kFlush:
      return "flush";
    case Op::kRename:
      return "rename";
    case Op::kCreate:
      return "create";
    case Op::kCopy:
      return "copy";
    case Op::kRead:
      return "read";
  }
  return "?";
}

std::error_code InjectedFault() {
  return std::make_error_code(std::errc::io_error);
}

bool CountingFaultEnv::Hit(Op op) {
  std::lock_guard lock(g_mutex);
  const int64_t n = ++counts_[op];
  if (at_ == 0 || op != armed_ || n != at_) return false;
  fired_ = true;
  if (action_ == Action::kKill) ::kill(::getpid(), SIGKILL);
  return true;
}

std::unique_ptr<platform::RandomRWFile> CountingFaultEnv::Open(const fs::path& path,
                                                               platform::OpenMode mode,
                                                               std::error_code& ec) {
  if ((mode == platform::OpenMode::kCreateTruncate ||
       mode == platform::OpenMode::kCreateExclusive) &&
      Hit(Op::kCreate)) {
    ec = InjectedFault();
    return nullptr;
  }
  auto inner = EnvWrapper::Open(path, mode, ec);
  if (!inner) return nullptr;
  return std::make_unique<CountingFile>(std::move(inner), this);
}

std::error_code CountingFaultEnv::Rename(const fs::path& from, const fs::path& to) {
  if (Hit(Op::kRename)) return InjectedFault();
  return EnvWrapper::Rename(from, to);
}

std::error_code CountingFaultEnv::Link(const fs::path& existing, const fs::path& newPath) {
  // A switch keeps an original by a second name before the new file takes its name: a step of
  // the switch like a rename.
  if (Hit(Op::kRename)) return InjectedFault();
  return EnvWrapper::Link(existing, newPath);
}

std::error_code CountingFaultEnv::SyncDir(const fs::path& dir) {
  if (Hit(Op::kFlush)) return InjectedFault();
  return EnvWrapper::SyncDir(dir);
}

std::error_code CountingFaultEnv::CreateDir(const fs::path& dir) {
  if (Hit(Op::kCreate)) return InjectedFault();
  return EnvWrapper::CreateDir(dir);
}

std::error_code CountingFaultEnv::CopyFile(const fs::path& from, const fs::path& to) {
  if (Hit(Op::kCopy)) return InjectedFault();
  // Through Open(), so that the copy's own writes and flush are counted as well.
  return Env::CopyFile(from, to);
}

std::error_code CountingFaultEnv::CloneFile(const fs::path& from, const fs::path& to) {
  if (Hit(Op::kCopy)) return InjectedFault();
  return EnvWrapper::CloneFile(from, to);
}

Snapshot TakeSnapshot(const std::vector<fs::path>& dirs) {
  Snapshot s;
  for (size_t i = 0; i < dirs.size(); ++i) {
    std::error_code ec;
    if (!fs::exists(dirs[i], ec)) continue;
    for (auto it = fs::recursive_directory_iterator(dirs[i]);
         it != fs::recursive_directory_iterator(); ++it) {
      const std::string key = std::to_string(i) + "/" + fs::relative(it->path(), dirs[i]).string();
      const fs::file_status st = it->symlink_status();
      if (fs::is_symlink(st)) {
        s[key] = "-> " + fs::read_symlink(it->path()).string();
      } else if (fs::is_directory(st)) {
        s[key + "/"] = "";
      } else {
        std::ifstream in(it->path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        s[key] =
            "mode " + std::to_string(static_cast<unsigned>(st.permissions())) + "\n" + bytes.str();
      }
    }
  }
  return s;
}

std::string SnapshotDifference(const Snapshot& expected, const Snapshot& actual) {
  std::string out;
  std::set<std::string> keys;
  for (const auto& [k, v] : expected) keys.insert(k);
  for (const auto& [k, v] : actual) keys.insert(k);
  for (const std::string& k : keys) {
    const auto e = expected.find(k);
    const auto a = actual.find(k);
    if (e == expected.end()) {
      out += "  unexpected: " + k + "\n";
    } else if (a == actual.end()) {
      out += "  missing: " + k + "\n";
    } else if (e->second != a->second) {
      out += "  differs: " + k + "\n";
    }
  }
  return out;
}

void CopyFolderContents(const fs::path& from, const fs::path& to) {
  fs::remove_all(to);
  fs::create_directories(to);
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

}  // namespace zkq::test
