// Sample zones for trying and timing the server merge: a folder with an account file "Id.db", a
// character index file "Hum.db" and a character data file "Kem.db" that hold N characters, in
// the byte layouts the game server writes. No ".idx" file is written; the file classes scan the
// records the first time they open a generated zone.
//
// What a zone holds:
// - accounts owning one to three characters each; about one character in five owns a hero, a
//   character record of its own on the same account whose OwnerName names the owner, while the
//   owner's HeroName names the hero;
// - names of every kind a merge has to rename: ASCII, GBK (also GBK characters whose second
//   byte is an ASCII letter), character names of 13 and 14 bytes (the 14th byte below 0x80 and
//   at 0x80 or above), account names of 10 bytes (also one ending in a cut GBK character);
// - linked names (LinkedCharName1/2) and, behind ExtraLinkFlag, extra names naming other
//   characters of the zone; some records without the flag keep stale names in those fields,
//   which are then opaque bytes that a merge must leave alone;
// - items in all six arrays: Items66Count from 0 to 70, stale items behind it, Items9/Items5
//   slots in use by ItemIndex (some without an instance number), the other arrays by
//   InstanceId, some InstanceRef equal to the InstanceId, a few numbers with the top bit set;
// - deleted slots in each file (holding former names, some equal to live names), a few live
//   character index records with an empty name, characters the player deleted (CharDeleted);
// - Level and UpdateTime spread over a range; every other byte filled with noise, so that a
//   merge that fails to carry a byte unchanged shows.
//
// Two zones made with the same options but different seeds share names: `clash` of the
// characters take their names from one common list, and so do `clash` of the accounts (about:
// the number of accounts varies with the seed). Some common names are written in other ASCII
// letter case in the two zones. All other names are drawn at random behind `prefix`.
//
// The same options give byte-identical files on every run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zkq::zonegen {

struct ZoneOptions {
  int characters = 1000;  // character records, heroes included (at least 1)
  uint64_t seed = 1;
  double clash = 0.0;  // share of names taken from the common list, 0 to 1
  std::string prefix;  // GBK bytes in front of the zone's own names, at most 4 bytes
};

struct ZoneSummary {
  std::filesystem::path idPath, humPath, kemPath;
  int accounts = 0;
  int characters = 0;  // live, named characters (each in Hum.db and Kem.db)
  int heroes = 0;
  int sharedAccounts = 0;  // accounts named from the common list
  int sharedCharacters = 0;
  int deletedAccountSlots = 0;
  int deletedHumSlots = 0;
  int deletedKemSlots = 0;
  int emptyHumRecords = 0;  // live character index records with an empty name
  int charDeleted = 0;      // characters carrying the player's deletion flag
  int linkedNames = 0;      // LinkedCharName1/2 in use
  int extraLinked = 0;      // records with ExtraLinkFlag set
  int64_t items = 0;        // item slots a renumbering of the live records numbers
  int32_t idSlots = 0, humSlots = 0, kemSlots = 0;
};

// Writes Id.db, Hum.db and Kem.db into `dir` (created when missing), replacing files of those
// names and removing stale "Id.db.idx" and "Kem.db.idx". Records are streamed: memory holds the
// names of the zone and one record at a time. Throws std::invalid_argument for options out of
// range and zkq::FileError when a file cannot be written.
ZoneSummary GenerateZone(const std::filesystem::path& dir, const ZoneOptions& options);

// A main zone and `slaves` slave zones for the batch merge, with its configuration file:
// `dir`/main (seed options.seed), `dir`/slave1 .. slaveK (seeds options.seed + 1 .. + K), all with
// the other options as given, and `dir`/batch.ini naming their database files.
struct BatchSummary {
  ZoneSummary main;
  std::vector<ZoneSummary> slaves;
  std::filesystem::path configPath;
};

// Throws std::invalid_argument for options out of range (or `slaves` outside 1 to 1000) before
// anything is written, std::invalid_argument when a path has no GBK form, and zkq::FileError
// when a file cannot be written.
BatchSummary GenerateBatch(const std::filesystem::path& dir, const ZoneOptions& options,
                           int slaves);

// Writes the batch configuration file for these zones, replacing it safely: GBK text with CR LF
// line ends, section "多区合并", the slave count "从区个数", and the absolute paths of the
// database files under "主区id", "主区hum", "主区kem" and "从区id<N>", "从区hum<N>",
// "从区kem<N>". The zones carry no side data, so no side-data key is written.
void WriteBatchConfig(const std::filesystem::path& file, const ZoneSummary& main,
                      const std::vector<ZoneSummary>& slaves);

// Entry k of the common name lists, written in the letter case a zone of `seed` uses (only some
// entries change case with the seed).
std::string CommonCharacterName(int64_t k, uint64_t seed);
std::string CommonAccountName(int64_t k, uint64_t seed);

}  // namespace zkq::zonegen
