// Times the construction of the database file objects on large files: a character data file of
// 100 000 records (written sparse: only the record headers hold data), built once by scanning the
// record headers and once from the index file the first object saved; the same for a character
// index file and an account file of as many records.
//
// Usage: bench_dbfiles [RECORDS] [FOLDER]   (defaults: 100000, a new folder under /tmp)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "dbfiles/filedb.h"
#include "dbfiles/filehumdb.h"
#include "dbfiles/fileiddb.h"
#include "dbfiles/layout.h"
#include "dbfiles/mudutil.h"
#include "platform/env.h"

namespace fs = std::filesystem;
using namespace zkq;

namespace {

double Seconds(const std::function<void()>& fn) {
  const auto t0 = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Best(int runs, const std::function<void()>& setup, const std::function<void()>& fn) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    setup();
    best = std::min(best, Seconds(fn));
  }
  return best;
}

std::vector<std::string> ShuffledNames(int n, int width) {
  std::vector<std::string> names(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "n%0*d", width, i);
    names[static_cast<size_t>(i)] = buf;
  }
  std::mt19937 rng(12345);
  std::shuffle(names.begin(), names.end(), rng);
  return names;
}

void WriteHeader(platform::RandomRWFile& f, int32_t slots, std::string_view signature,
                 size_t capacity) {
  uint8_t h[layout::dbheader::kSize] = {};
  PutShortString(h, capacity, signature);
  PutI32(h + layout::dbheader::kLastChangedSlot, -1);
  PutI32(h + layout::dbheader::kSlotCount, slots);
  PutI32(h + layout::dbheader::kFreeHead, -1);
  f.Write(0, h, sizeof h);
}

std::unique_ptr<platform::RandomRWFile> Create(const fs::path& p) {
  std::error_code ec;
  auto f = platform::DefaultEnv()->Open(p, platform::OpenMode::kCreateTruncate, ec);
  if (!f) {
    std::fprintf(stderr, "cannot create %s: %s\n", p.c_str(), ec.message().c_str());
    std::exit(1);
  }
  return f;
}

// Every 20th record deleted, the others live with a unique name.
void BuildKem(const fs::path& p, int n) {
  auto f = Create(p);
  WriteHeader(*f, n, layout::kCharFileSignature, layout::dbheader::kDescriptionCapacity);
  const auto names = ShuffledNames(n, 7);
  for (int s = 0; s < n; ++s) {
    uint8_t rec[layout::recordheader::kSize] = {};
    rec[0] = s % 20 == 19 ? 1 : 0;
    PutShortString(rec + layout::recordheader::kKeyName, 15, names[static_cast<size_t>(s)]);
    f->Write(124 + int64_t{s} * CharDataRecord::kSize, rec, sizeof rec);
  }
  const uint8_t last = 0;  // extend to the full length, leaving the rest sparse
  f->Write(124 + int64_t{n} * CharDataRecord::kSize - 1, &last, 1);
  f->Close();
}

void BuildHum(const fs::path& p, int n) {
  auto f = Create(p);
  WriteHeader(*f, n, layout::kCharFileSignature, layout::dbheader::kDescriptionCapacity);
  const auto names = ShuffledNames(n, 7);
  std::vector<uint8_t> body(static_cast<size_t>(n) * CharIndexRecord::kSize);
  for (int s = 0; s < n; ++s) {
    uint8_t* r = body.data() + static_cast<size_t>(s) * CharIndexRecord::kSize;
    r[0] = s % 20 == 19 ? 1 : 0;
    const std::string& name = names[static_cast<size_t>(s)];
    PutShortString(r + CharIndexRecord::kKeyName, 15, name);
    PutShortString(r + CharIndexRecord::kCharName, 14, name);
    PutShortString(r + CharIndexRecord::kAccountName, 10, "a" + name.substr(1, 6));
  }
  f->Write(124, body.data(), body.size());
  f->Close();
}

void BuildId(const fs::path& p, int n) {
  auto f = Create(p);
  WriteHeader(*f, n, layout::kAccountFileSignature, layout::dbheader::kAccountDescriptionCapacity);
  const auto names = ShuffledNames(n, 7);
  std::vector<uint8_t> body(static_cast<size_t>(n) * AccountRecord::kSize);
  for (int s = 0; s < n; ++s) {
    uint8_t* r = body.data() + static_cast<size_t>(s) * AccountRecord::kSize;
    PutShortString(r + AccountRecord::kAccountName, 10, names[static_cast<size_t>(s)]);
  }
  f->Write(124, body.data(), body.size());
  f->Close();
}

void RemoveIndex(const fs::path& db) {
  std::error_code ec;
  fs::remove(fs::path(db.string() + ".idx"), ec);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
  fs::path dir = argc > 2 ? fs::path(argv[2])
                          : fs::temp_directory_path() /
                                ("zkq-bench-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  fs::current_path(dir);
  std::printf("records: %d, folder: %s\n", n, dir.c_str());

  const fs::path kem = dir / "Kem.db", hum = dir / "Hum.db", id = dir / "Id.db";
  std::printf("building files ... ");
  std::fflush(stdout);
  std::printf("%.2f s\n", Seconds([&] {
                BuildKem(kem, n);
                BuildHum(hum, n);
                BuildId(id, n);
              }));

  const int runs = 3;
  auto none = [] {};
  const double kemScan = Best(
      runs, [&] { RemoveIndex(kem); },
      [&] {
        TFileDB db(kem);
        if (!TFileDB::IndexLoaded()) std::exit(2);
      });
  const double kemIndex = Best(runs, none, [&] {
    TFileDB db(kem);
    if (db.NameCount() != n - n / 20) std::exit(3);
  });
  const double humScan = Best(runs, none, [&] { TFileHumDB db(hum); });
  const double idScan = Best(
      runs, [&] { RemoveIndex(id); }, [&] { TFileIDDB db(id); });
  const double idIndex = Best(runs, none, [&] {
    TFileIDDB db(id);
    if (db.NameList().Count() != n) std::exit(4);
  });

  // A merge inserts the slave's names one by one into the main zone's sorted list.
  const auto manyNames = ShuffledNames(n + n / 5, 7);
  const double inserts = Best(runs, none, [&] {
    TQuickList list;
    for (int i = 0; i < n; ++i) list.Append(manyNames[static_cast<size_t>(i)], i);
    list.SortRange(0, list.Count() - 1);
    for (int i = n; i < n + n / 5; ++i) list.InsertSorted(manyNames[static_cast<size_t>(i)], i);
  });

  std::printf("best of %d, construction and destruction (the destruction saves the index file):\n",
              runs);
  std::printf("  Kem.db  by scan of record headers  %8.3f s\n", kemScan);
  std::printf("  Kem.db  by index file              %8.3f s\n", kemIndex);
  std::printf("  Hum.db  by scan (always)           %8.3f s\n", humScan);
  std::printf("  Id.db   by scan                    %8.3f s\n", idScan);
  std::printf("  Id.db   by index file              %8.3f s\n", idIndex);

  std::printf("  NameList: sort %d names, insert %d more one by one %8.3f s\n", n, n / 5, inserts);

  fs::current_path(dir.parent_path());
  if (argc <= 2) fs::remove_all(dir);
  return 0;
}
