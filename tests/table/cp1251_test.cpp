#include "table/cp1251.h"

#include <string>

#include <gtest/gtest.h>

using table::cp1251ToUtf8;
using table::utf8ToCp1251;

namespace {

// Bytes 80 … FF as characters, in byte order.
const std::string kUpperHalf =
    "ЂЃ‚ѓ„…†‡€‰Љ‹ЊЌЋЏ"            // 80
    "ђ‘’“”•–—\uFFFD™љ›њќћџ"       // 90
    "\u00A0ЎўЈ¤Ґ¦§Ё©Є«¬\u00AD®Ї"  // A0
    "°±Ііґµ¶·ё№є»јЅѕї"            // B0
    "АБВГДЕЖЗИЙКЛМНОП"            // C0
    "РСТУФХЦЧШЩЪЫЬЭЮЯ"            // D0
    "абвгдежзийклмноп"            // E0
    "рстуфхцчшщъыьэюя";           // F0

std::string allBytes() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes;
}

TEST(Cp1251, EveryByteDecodesToItsCharacter) {
  const std::string bytes = allBytes();
  std::string expected = bytes.substr(0, 0x80);  // ASCII, NUL included, as it is
  expected += kUpperHalf;
  EXPECT_EQ(cp1251ToUtf8(bytes), expected);
}

TEST(Cp1251, EveryMappedByteRoundTrips) {
  for (int b = 0; b < 256; ++b) {
    if (b == 0x98) continue;
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(utf8ToCp1251(cp1251ToUtf8(byte)), byte) << "byte " << b;
  }
  std::string all = allBytes();
  all.erase(0x98, 1);
  EXPECT_EQ(utf8ToCp1251(cp1251ToUtf8(all)), all);
}

TEST(Cp1251, UndefinedByteBecomesTheReplacementCharacter) {
  EXPECT_EQ(cp1251ToUtf8("\x98"), "\uFFFD");
  EXPECT_EQ(utf8ToCp1251("\uFFFD"), "?");
}

TEST(Cp1251, EncodesTheProgramsTexts) {
  EXPECT_EQ(utf8ToCp1251("Скорость "), "\xD1\xEA\xEE\xF0\xEE\xF1\xF2\xFC ");
  EXPECT_EQ(utf8ToCp1251("01й канал "), "01\xE9 \xEA\xE0\xED\xE0\xEB ");
  EXPECT_EQ(utf8ToCp1251("Ёё№€"), "\xA8\xB8\xB9\x88");
}

TEST(Cp1251, CharactersWithoutAByteBecomeQuestionMarks) {
  EXPECT_EQ(utf8ToCp1251("aéb"), "a?b");           // Latin-1 letter absent from the page
  EXPECT_EQ(utf8ToCp1251("漢字"), "??");           // three-byte sequences
  EXPECT_EQ(utf8ToCp1251("x\U0001F600y"), "x?y");  // four-byte sequence
}

TEST(Cp1251, InvalidUtf8BytesBecomeQuestionMarksEach) {
  EXPECT_EQ(utf8ToCp1251("a\xFF"
                         "b"),
            "a?b");
  EXPECT_EQ(utf8ToCp1251("a\xD0"), "a?");  // cut short at the end
  EXPECT_EQ(utf8ToCp1251("\xD0"
                         "a"),
            "?a");                                 // lead byte without continuation
  EXPECT_EQ(utf8ToCp1251("\xC0\xAF"), "??");       // overlong form of '/'
  EXPECT_EQ(utf8ToCp1251("\xED\xA0\x80"), "???");  // a UTF-16 surrogate
  EXPECT_EQ(utf8ToCp1251("\x80Я"), "?\xDF");       // stray continuation byte
}

TEST(Cp1251, NulPassesThroughBothWays) {
  const std::string text("a\0b", 3);
  EXPECT_EQ(cp1251ToUtf8(text), text);
  EXPECT_EQ(utf8ToCp1251(text), text);
}

}  // namespace
