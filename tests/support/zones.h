// Tiny zones for the tests of whole jobs: the account file Id.db, the character index Hum.db and
// the character data Kem.db, built byte by byte from the documented offsets, with only the names
// filled in. They share nothing with the product's own layout constants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zkq::test {

// Sizes of the file header and of one record of each file.
constexpr size_t kHeaderSize = 124;
constexpr size_t kAccountRecordSize = 349;
constexpr size_t kCharIndexRecordSize = 73;
// Character data records in the current layout and in the older layouts 0820 and 0330.
constexpr size_t kKemRecordSize = 24800;
constexpr size_t kKem0820RecordSize = 23774;
constexpr size_t kKem0330RecordSize = 16888;

// A file header: the signature in a short string of `capacity` text bytes, `slotCount` records,
// and no free slot (-1).
std::string Header(const std::string& signature, size_t capacity, size_t slotCount);

// An account record with the account name set.
std::string AccountRecord(std::string_view name);
// A character index record with the character name (twice) and its account set.
std::string CharIndexRecord(std::string_view name, std::string_view account);
// A character data record of `size` bytes (any layout: the first 582 bytes are shared) with the
// character name (twice) and its account set, and no item in use.
std::string CharDataRecord(std::string_view name, std::string_view account, size_t size);

struct Character {
  std::string name, account;
};

// Writes the three files of a zone at the given paths, creating their folders; Kem.db in the
// layout of `kemRecordSize`. Every account and character takes one slot, in the given order.
void WriteZoneFiles(const std::filesystem::path& id, const std::filesystem::path& hum,
                    const std::filesystem::path& kem, const std::vector<std::string>& accounts,
                    const std::vector<Character>& characters,
                    size_t kemRecordSize = kKemRecordSize);

// The three database files of a zone in one folder; their names may differ in letter case.
struct Zone {
  std::filesystem::path dir;
  std::string idName = "Id.db", humName = "Hum.db", kemName = "Kem.db";
  std::filesystem::path id() const { return dir / idName; }
  std::filesystem::path hum() const { return dir / humName; }
  std::filesystem::path kem() const { return dir / kemName; }
};

// Writes the files of `zone` (see WriteZoneFiles) and gives it back.
Zone MakeZone(Zone zone, const std::vector<std::string>& accounts,
              const std::vector<Character>& characters, size_t kemRecordSize = kKemRecordSize);

}  // namespace zkq::test
