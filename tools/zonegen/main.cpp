// zkq-genzone: writes a sample zone (Id.db, Hum.db, Kem.db) for trying and timing the merges, or
// a main zone and slave zones with the configuration file of a batch merge.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codepage.h"
#include "zonegen.h"

namespace {

constexpr const char* kUsage =
    "Usage: zkq-genzone DIR --chars N [--seed S] [--clash F] [--prefix P] [--slaves K]\n"
    "\n"
    "Writes Id.db, Hum.db and Kem.db with N characters (heroes included) into DIR.\n"
    "  --chars N    number of characters, 1 to 5000000\n"
    "  --seed S     seed of every random choice (default 1); the same seed gives the same files\n"
    "  --clash F    share of account and character names, 0 to 1, that zones of other seeds\n"
    "               share with this one (default 0)\n"
    "  --prefix P   text (at most 4 GBK bytes) in front of the names that are the zone's own\n"
    "  --slaves K   a batch merge instead, 1 to 1000 slave zones: DIR/main (seed S),\n"
    "               DIR/slave1 .. DIR/slaveK (seeds S+1 .. S+K), each of N characters, and\n"
    "               DIR/batch.ini (GBK) naming their database files by absolute path\n";

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "zkq-genzone: %s\n\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

bool ParseInt(const char* text, long long lo, long long hi, long long& out) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool ParseUnsigned(const char* text, unsigned long long& out) {
  char* end = nullptr;
  errno = 0;
  if (*text == '-') return false;
  out = std::strtoull(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

bool ParseFraction(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && out >= 0.0 && out <= 1.0;
}

void PrintZone(const zkq::zonegen::ZoneSummary& s) {
  std::printf("%s: %d slots, %d accounts (%d from the common list, %d deleted slots)\n",
              s.idPath.string().c_str(), s.idSlots, s.accounts, s.sharedAccounts,
              s.deletedAccountSlots);
  std::printf("%s: %d slots, %d characters, %d deleted slots, %d live records without a name\n",
              s.humPath.string().c_str(), s.humSlots, s.characters, s.deletedHumSlots,
              s.emptyHumRecords);
  std::printf("%s: %d slots, %d characters, %d deleted slots\n", s.kemPath.string().c_str(),
              s.kemSlots, s.characters, s.deletedKemSlots);
  std::printf(
      "characters: %d heroes, %d from the common list, %d flagged deleted by the player, %d "
      "linked names, %d with extra names\n",
      s.heroes, s.sharedCharacters, s.charDeleted, s.linkedNames, s.extraLinked);
  std::printf("items: %lld in use\n", static_cast<long long>(s.items));
}

}  // namespace

int main(int argc, char** argv) {
  zkq::zonegen::ZoneOptions options;
  std::string dir;
  bool haveChars = false;
  int slaves = 0;  // 0: one zone
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    const bool takesValue = arg == "--chars" || arg == "--seed" || arg == "--clash" ||
                            arg == "--prefix" || arg == "--slaves";
    if (takesValue && i + 1 >= argc) return Usage("an option lacks its value");
    if (arg == "--chars") {
      long long n = 0;
      if (!ParseInt(argv[++i], 1, 5'000'000, n)) return Usage("--chars takes 1 to 5000000");
      options.characters = static_cast<int>(n);
      haveChars = true;
    } else if (arg == "--seed") {
      unsigned long long s = 0;
      if (!ParseUnsigned(argv[++i], s)) return Usage("--seed takes a whole number");
      options.seed = s;
    } else if (arg == "--clash") {
      if (!ParseFraction(argv[++i], options.clash)) return Usage("--clash takes 0 to 1");
    } else if (arg == "--slaves") {
      long long n = 0;
      if (!ParseInt(argv[++i], 1, 1000, n)) return Usage("--slaves takes 1 to 1000");
      slaves = static_cast<int>(n);
    } else if (arg == "--prefix") {
      const std::string_view text = argv[++i];
      // Command-line text is UTF-8 on POSIX; bytes that are not are taken as GBK already.
      if (zkq::platform::IsValidUtf8(text)) {
        const auto gbk = zkq::platform::Utf8ToGbk(text);
        if (!gbk) return Usage("--prefix has characters without a GBK form");
        options.prefix = *gbk;
      } else {
        options.prefix = std::string(text);
      }
      if (options.prefix.size() > 4) return Usage("--prefix may have at most 4 GBK bytes");
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option");
    } else if (dir.empty()) {
      dir = std::string(arg);
    } else {
      return Usage("only one folder may be given");
    }
  }
  if (dir.empty()) return Usage("the folder is missing");
  if (!haveChars) return Usage("--chars is required");

  try {
    const std::filesystem::path path = zkq::platform::PathFromUtf8(dir);
    if (slaves == 0) {
      PrintZone(zkq::zonegen::GenerateZone(path, options));
    } else {
      const auto batch = zkq::zonegen::GenerateBatch(path, options, slaves);
      std::printf("== main zone (seed %llu) ==\n", static_cast<unsigned long long>(options.seed));
      PrintZone(batch.main);
      for (size_t k = 0; k < batch.slaves.size(); ++k) {
        std::printf("== slave zone %zu (seed %llu) ==\n", k + 1,
                    static_cast<unsigned long long>(options.seed + k + 1));
        PrintZone(batch.slaves[k]);
      }
      std::printf("batch configuration: %s\n", batch.configPath.string().c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zkq-genzone: %s\n", e.what());
    return 1;
  }
  return 0;
}
