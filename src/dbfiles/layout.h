// Byte layouts shared by the three database files: the 124-byte file header, the 28-byte record
// header of the character files, the two index-file layouts, and the signature texts (GBK).
#pragma once

#include <cstddef>
#include <string_view>

namespace zkq::layout {

// DBHeader, 124 bytes at offset 0 of every .DB file.
namespace dbheader {
constexpr size_t kSize = 124;
constexpr size_t kDescription = 0;  // short string, capacity 35 (account file: 34)
constexpr size_t kDescriptionCapacity = 35;
constexpr size_t kAccountDescriptionCapacity = 34;
constexpr size_t kLastChangedSlot = 92;  // int32
constexpr size_t kLastChangeTime = 96;   // date-time
constexpr size_t kSlotCount = 104;       // int32
constexpr size_t kReserved108 = 108;     // int32, 0 in created files
constexpr size_t kFreeHead = 112;        // int32, account file only
constexpr size_t kLastWriteTime = 116;   // date-time
}  // namespace dbheader

// RecordHeader: the first 28 bytes of every character index and character data record.
namespace recordheader {
constexpr size_t kSize = 28;
constexpr size_t kDeleted = 0;     // byte: 0 live, non-zero deleted
constexpr size_t kUpdateTime = 4;  // date-time
constexpr size_t kKeyName = 12;    // short string, capacity 15
constexpr size_t kKeyNameCapacity = 15;
}  // namespace recordheader

// Character data index file: 128-byte header, 20-byte entries, then FreeCount int32 slots.
namespace dbindex {
constexpr size_t kHeaderSize = 128;
constexpr size_t kDescription = 0;  // short string, capacity 40
constexpr size_t kDescriptionCapacity = 40;
constexpr size_t kNameCount = 100;
constexpr size_t kSlotCount = 104;
constexpr size_t kFreeCount = 108;
constexpr size_t kLastChangedSlot = 112;
constexpr size_t kLastChangeTime = 120;
constexpr size_t kEntrySize = 20;
constexpr size_t kEntryKey = 0;  // short string, capacity 15
constexpr size_t kEntryKeyCapacity = 15;
constexpr size_t kEntrySlot = 16;  // int32
}  // namespace dbindex

// Account index file: 120-byte header, 16-byte entries, no free section.
namespace idindex {
constexpr size_t kHeaderSize = 120;
constexpr size_t kDescription = 0;  // short string, capacity 43
constexpr size_t kDescriptionCapacity = 43;
constexpr size_t kNameCount = 100;
constexpr size_t kSlotCount = 104;
constexpr size_t kLastChangedSlot = 108;
constexpr size_t kLastChangeTime = 112;
constexpr size_t kEntrySize = 16;
constexpr size_t kEntryKey = 0;  // short string, capacity 11
constexpr size_t kEntryKeyCapacity = 11;
constexpr size_t kEntrySlot = 12;  // int32
}  // namespace idindex

// Signatures, GBK bytes.
// "Z.K.Q数据库文件 2005/04/20"
constexpr std::string_view kAccountFileSignature =
    "Z.K.Q\xCA\xFD\xBE\xDD\xBF\xE2\xCE\xC4\xBC\xFE 2005/04/20";
// "Z.K.Q游戏数据库文件 2005/04/20"
constexpr std::string_view kCharFileSignature =
    "Z.K.Q\xD3\xCE\xCF\xB7\xCA\xFD\xBE\xDD\xBF\xE2\xCE\xC4\xBC\xFE 2005/04/20";
// "Z.K.Q游戏数据库索引文件 2005/04/20"
constexpr std::string_view kCharIndexSignature =
    "Z.K.Q\xD3\xCE\xCF\xB7\xCA\xFD\xBE\xDD\xBF\xE2\xCB\xF7\xD2\xFD\xCE\xC4\xBC\xFE 2005/04/20";
// "Z.K.Q数据库索引文件 2005/04/20"
constexpr std::string_view kAccountIndexSignature =
    "Z.K.Q\xCA\xFD\xBE\xDD\xBF\xE2\xCB\xF7\xD2\xFD\xCE\xC4\xBC\xFE 2005/04/20";

}  // namespace zkq::layout
