#include "support/test_support.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "common/paths.h"
#include "common/process_state.h"
#include "platform/app_hooks.h"

namespace zkq::test {

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    path_ = base / ("zkq-test-" + std::to_string(std::random_device{}()) + "-" +
                    std::to_string(counter++));
    if (fs::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

namespace {
class FaultFile : public platform::RandomRWFile {
 public:
  FaultFile(std::unique_ptr<platform::RandomRWFile> inner, fs::path path, FakeEnv* env)
      : inner_(std::move(inner)), path_(std::move(path)), env_(env) {}
  int64_t Read(int64_t offset, void* buf, size_t n) override {
    return inner_->Read(offset, buf, n);
  }
  bool Write(int64_t offset, const void* buf, size_t n) override {
    if (env_->writeFault && !env_->writeFault(path_, offset, n)) {
      fault_ = std::make_error_code(std::errc::no_space_on_device);
      return false;
    }
    return inner_->Write(offset, buf, n);
  }
  int64_t Size() override { return inner_->Size(); }
  // Tests need no durability: a flush succeeds without waiting for the disk.
  bool Sync() override { return true; }
  bool Close() override { return inner_->Close(); }
  std::error_code LastError() const override { return fault_ ? fault_ : inner_->LastError(); }
  std::error_code SetOwnerAndMode(uint32_t mode, uint32_t uid, uint32_t gid) override {
    return inner_->SetOwnerAndMode(mode, uid, gid);
  }

 private:
  std::unique_ptr<platform::RandomRWFile> inner_;
  fs::path path_;
  FakeEnv* env_;
  std::error_code fault_;
};
}  // namespace

std::unique_ptr<platform::RandomRWFile> FakeEnv::Open(const fs::path& path, platform::OpenMode mode,
                                                      std::error_code& ec) {
  auto inner = EnvWrapper::Open(path, mode, ec);
  if (!inner) return nullptr;
  return std::make_unique<FaultFile>(std::move(inner), path, this);
}

FileTest::FileTest() : oldCwd_(fs::current_path()) {
  fs::current_path(dir_.path());
  ResetProcessState();
  SetProgramDirOverride(dir_.path());
  platform::SetShuttingDown(false);
  platform::SetProcessEventsHook(nullptr);
}

FileTest::~FileTest() {
  fs::current_path(oldCwd_);
  ClearProgramDirOverride();
  platform::SetShuttingDown(false);
  platform::SetProcessEventsHook(nullptr);
}

}  // namespace zkq::test
