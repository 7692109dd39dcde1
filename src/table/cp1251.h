// Windows-1251, the single-byte code page of the table file, and UTF-8, the
// encoding of every text inside the program.
#pragma once

#include <string>
#include <string_view>

namespace table {

// Every byte becomes one character; 0x98, which the code page leaves
// undefined, becomes U+FFFD.
std::string cp1251ToUtf8(std::string_view bytes);

// Every character becomes one byte; a character the code page lacks, and any
// byte that is not part of a valid UTF-8 sequence, becomes '?'.
std::string utf8ToCp1251(std::string_view text);

}  // namespace table
