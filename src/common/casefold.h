// Case-insensitive handling of GBK names.
//
// Only ASCII letters are folded. A GBK double-byte character (lead byte 0x81..0xFE) takes the
// next byte with it, and that trailing byte is never folded even when it looks like a letter.
// (The database name lists fold every byte instead; see dbfiles/mudutil.h.)
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zkq {

// Unsigned byte comparison, a prefix first. Returns <0, 0 or >0.
int CompareBytes(std::string_view a, std::string_view b);

// The name with its ASCII letters turned to capitals, GBK trailing bytes left alone.
std::string FoldGbkUpper(std::string_view name);

// True when the two names are equal after FoldGbkUpper.
bool EqualsFolded(std::string_view a, std::string_view b);

// Order of written list files: folded bytes compared unsigned, a prefix first; names that fold
// equal are ordered by their raw bytes. Returns <0, 0 or >0.
int CompareForListFile(std::string_view a, std::string_view b);

// Sorts lines into list-file order.
void SortForListFile(std::vector<std::string>& lines);

}  // namespace zkq
