// Shared test fixtures: a scratch folder that is also the current folder, a deterministic
// clock, fault injection into the file layer, and byte helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/env.h"

namespace zkq::test {

namespace fs = std::filesystem;

// A fresh folder, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& name) const { return path_ / name; }

 private:
  fs::path path_;
};

std::string ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, std::string_view bytes);

// The real environment with a clock that advances by `step` on every reading (starting at
// `start` + step), no pauses, flushes that do not wait for the disk, and optional faults.
class FakeEnv : public platform::EnvWrapper {
 public:
  FakeEnv() : EnvWrapper(platform::DefaultEnv()) {}

  TDateTime Now() override {
    ++clockReadings;
    clock += step;
    return clock;
  }
  void SleepMs(int ms) override { sleptMs += ms; }
  std::error_code Rename(const fs::path& from, const fs::path& to) override {
    if (renameFault) {
      if (auto ec = renameFault(from, to)) return ec;
    }
    return EnvWrapper::Rename(from, to);
  }
  std::unique_ptr<platform::RandomRWFile> Open(const fs::path& path, platform::OpenMode mode,
                                               std::error_code& ec) override;
  // Tests need no durability: flushes succeed without waiting for the disk.
  std::error_code SyncDir(const fs::path&) override { return {}; }
  // Copies through Open(), so that the write faults reach copies too.
  std::error_code CopyFile(const fs::path& from, const fs::path& to) override {
    return Env::CopyFile(from, to);
  }

  TDateTime clock = 46000.0;    // 2025-12-09
  TDateTime step = 1.0 / 1024;  // exact in binary, so expected values compare exactly
  int clockReadings = 0;
  int sleptMs = 0;
  // Return an error to make a rename fail.
  std::function<std::error_code(const fs::path&, const fs::path&)> renameFault;
  // Called before every write through a file opened here; return false to fail that write.
  std::function<bool(const fs::path& file, int64_t offset, size_t n)> writeFault;
};

// Every test that touches files: a scratch folder as the current folder, the fake environment
// in place, and the process-wide state reset.
class FileTest : public ::testing::Test {
 protected:
  FileTest();
  ~FileTest() override;

  fs::path Path(const fs::path& name) const { return dir_ / name; }

  TempDir dir_;
  FakeEnv env_;

 private:
  fs::path oldCwd_;
  platform::ScopedEnv scopedEnv_{&env_};
};

}  // namespace zkq::test
