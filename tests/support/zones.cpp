#include "support/zones.h"

#include "support/bytes.h"
#include "support/test_support.h"

namespace zkq::test {

std::string Header(const std::string& signature, size_t capacity, size_t slotCount) {
  std::string h(kHeaderSize, '\0');
  PutShort(h, 0, capacity, signature);
  PutLe32(h, 104, static_cast<int32_t>(slotCount));
  PutLe32(h, 112, -1);
  return h;
}

std::string AccountRecord(std::string_view name) {
  std::string r(kAccountRecordSize, '\0');
  PutShort(r, 32, 10, name);
  return r;
}

std::string CharIndexRecord(std::string_view name, std::string_view account) {
  std::string r(kCharIndexRecordSize, '\0');
  PutShort(r, 12, 15, name);
  PutShort(r, 28, 14, name);
  PutShort(r, 43, 10, account);
  return r;
}

std::string CharDataRecord(std::string_view name, std::string_view account, size_t size) {
  std::string r(size, '\0');
  PutShort(r, 12, 15, name);
  PutShort(r, 28, 14, name);
  PutShort(r, 255, 10, account);
  return r;
}

void WriteZoneFiles(const fs::path& id, const fs::path& hum, const fs::path& kem,
                    const std::vector<std::string>& accounts,
                    const std::vector<Character>& characters, size_t kemRecordSize) {
  for (const fs::path& file : {id, hum, kem}) fs::create_directories(file.parent_path());
  std::string idBytes = Header(kAccountFileSignature, 34, accounts.size());
  for (const std::string& a : accounts) idBytes += AccountRecord(a);
  std::string humBytes = Header(kCharFileSignature, 35, characters.size());
  std::string kemBytes = Header(kCharFileSignature, 35, characters.size());
  for (const Character& c : characters) {
    humBytes += CharIndexRecord(c.name, c.account);
    kemBytes += CharDataRecord(c.name, c.account, kemRecordSize);
  }
  WriteBytes(id, idBytes);
  WriteBytes(hum, humBytes);
  WriteBytes(kem, kemBytes);
}

Zone MakeZone(Zone zone, const std::vector<std::string>& accounts,
              const std::vector<Character>& characters, size_t kemRecordSize) {
  WriteZoneFiles(zone.id(), zone.hum(), zone.kem(), accounts, characters, kemRecordSize);
  return zone;
}

}  // namespace zkq::test
