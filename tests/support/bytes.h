// Byte helpers for building and checking database files in tests: little-endian fields, short
// strings, a comparison that names the first differing byte, and the signature texts of the
// file formats. They are written from the documented layouts alone and share nothing with the
// product's own layout constants, so a test built with them checks those layouts independently.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zkq::test {

// Signature texts, GBK bytes.
// "Z.K.Q数据库文件 2005/04/20": the account file Id.db.
inline const std::string kAccountFileSignature =
    "Z.K.Q\xCA\xFD\xBE\xDD\xBF\xE2\xCE\xC4\xBC\xFE 2005/04/20";
// "Z.K.Q数据库索引文件 2005/04/20": the account index Id.db.idx.
inline const std::string kAccountIndexSignature =
    "Z.K.Q\xCA\xFD\xBE\xDD\xBF\xE2\xCB\xF7\xD2\xFD\xCE\xC4\xBC\xFE 2005/04/20";
// "Z.K.Q游戏数据库文件 2005/04/20": the character files Hum.db and Kem.db.
inline const std::string kCharFileSignature =
    "Z.K.Q\xD3\xCE\xCF\xB7\xCA\xFD\xBE\xDD\xBF\xE2\xCE\xC4\xBC\xFE 2005/04/20";
// "Z.K.Q游戏数据库索引文件 2005/04/20": the character data index Kem.db.idx.
inline const std::string kCharIndexSignature =
    "Z.K.Q\xD3\xCE\xCF\xB7\xCA\xFD\xBE\xDD\xBF\xE2\xCB\xF7\xD2\xFD\xCE\xC4\xBC\xFE 2005/04/20";

// Little-endian writes into a buffer that already holds the bytes written to; a write past its
// end fails the test and writes nothing.
void PutLe16(std::string& b, size_t at, uint16_t v);
void PutLe32(std::string& b, size_t at, int32_t v);
// An 8-byte IEEE double, the on-disk form of a date-time.
void PutDouble(std::string& b, size_t at, double v);

// Little-endian reads; a read past the end fails the test and gives 0.
int32_t GetLe32(std::string_view b, size_t at);
double GetDouble(std::string_view b, size_t at);

// A short string: the length byte at `at` and the text behind it, in a field of `capacity`
// text bytes. The bytes behind the text are left as they are. A text longer than the capacity,
// or a field past the end of the buffer, fails the test and writes nothing.
void PutShort(std::string& b, size_t at, size_t capacity, std::string_view text);

// The text of the short string at `at` in a field of `capacity` text bytes: a length byte above
// the capacity gives the whole field. A field past the end of the buffer fails the test and
// gives "".
std::string ShortAt(std::string_view b, size_t at, size_t capacity);

// A file of a header and its records, one behind the other.
std::string Join(const std::string& header, const std::vector<std::string>& records);

// Equality of two byte strings; on a difference, reports the sizes and the first differing
// offset with the bytes found there instead of dumping whole files.
::testing::AssertionResult SameBytes(std::string_view actual, std::string_view expected);

}  // namespace zkq::test
