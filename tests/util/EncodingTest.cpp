#include <gtest/gtest.h>

#include "support/TestSupport.hpp"
#include "util/Encoding.hpp"

using kvtest::Repr;

namespace {

TEST(Encoding, Cp1252AndUtf8) {
  struct Row {
    std::string cp1252, utf8;
  };
  const std::vector<Row> rows = {
      {"plain ASCII|^~\\&", "plain ASCII|^~\\&"},
      {"A\xE7\xE3o", "A\xC3\xA7\xC3\xA3o"},                      // Ação
      {"\x80 \x9F", "\xE2\x82\xAC \xC5\xB8"},                     // € Ÿ
      {"\x81\x8D\x8F\x90\x9D", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},  // undefined bytes survive
      {"\xFF\xA0", "\xC3\xBF\xC2\xA0"},
      {std::string("\0\x02\x03", 3), std::string("\0\x02\x03", 3)},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(Repr(Cp1252ToUtf8(rows[i].cp1252)), Repr(rows[i].utf8)) << "row " << i;
    EXPECT_EQ(Repr(Utf8ToCp1252(rows[i].utf8)), Repr(rows[i].cp1252)) << "row " << i;
  }
}

TEST(Encoding, EveryWindows1252ByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
  EXPECT_EQ(Utf8ToCp1252(Utf16ToUtf8(Utf8ToUtf16(Cp1252ToUtf8(all), false), false)), all);
  EXPECT_EQ(Utf8ToCp1252(Utf16ToUtf8(Utf8ToUtf16(Cp1252ToUtf8(all), true), true)), all);
}

TEST(Encoding, WhatWindows1252CannotHold) {
  // U+4E2D (CJK) and U+1F600 (emoji) have no byte: '?'. Broken UTF-8 keeps its bytes.
  EXPECT_EQ(Repr(Utf8ToCp1252("a\xE4\xB8\xAD" "b\xF0\x9F\x98\x80" "c")), Repr("a?b?c"));
  EXPECT_EQ(Repr(Utf8ToCp1252("S\xE3o \xC3")), Repr("S\xE3o \xC3"));
  EXPECT_EQ(Repr(Utf8ToCp1252("\xC0\x80")), Repr("\xC0\x80"));  // overlong form is no character
}

TEST(Encoding, Utf16BothByteOrders) {
  const std::string utf8 = "A\xC3\xA7\xF0\x9F\x98\x80";  // A ç U+1F600
  const std::string le("A\0\xE7\0\x3D\xD8\x00\xDE", 8);
  const std::string be("\0A\0\xE7\xD8\x3D\xDE\x00", 8);
  EXPECT_EQ(Repr(Utf8ToUtf16(utf8, false)), Repr(le));
  EXPECT_EQ(Repr(Utf8ToUtf16(utf8, true)), Repr(be));
  EXPECT_EQ(Repr(Utf16ToUtf8(le, false)), Repr(utf8));
  EXPECT_EQ(Repr(Utf16ToUtf8(be, true)), Repr(utf8));
  // A lone surrogate and a dangling odd byte do not break the rest.
  EXPECT_EQ(Repr(Utf16ToUtf8(std::string("\x00\xD8" "B\0" "x", 5), false)), Repr("\xEF\xBF\xBD" "B"));
}

}  // namespace
