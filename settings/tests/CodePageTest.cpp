#include "CodePage.h"

#include <gtest/gtest.h>

#include <set>

namespace tamlix {
namespace {

TEST(CodePageTest, EveryByteIsOneCharacterAndComesBackAsItself) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::u16string shown = DecodeCodePage(all);
  ASSERT_EQ(shown.size(), 256u);
  EXPECT_EQ(std::set<char16_t>(shown.begin(), shown.end()).size(), 256u) << "two bytes show as one character";
  EXPECT_EQ(EncodeCodePage(shown), all);
}

TEST(CodePageTest, CharactersAndTheirBytes) {
  struct Case {
    char16_t c;
    int byte;  // -1: the code page cannot hold it
  } cases[] = {
      {u'A', 'A'},     {0x0001, 0x01},  {0x007F, 0x7F},  {0x20AC, 0x80},  // euro sign
      {0x0081, 0x81},  {0x008D, 0x8D},  {0x008F, 0x8F},  {0x0090, 0x90},  {0x009D, 0x9D},
      {0x2019, 0x92},  {0x0178, 0x9F},  {0x00A0, 0xA0},  {0x00E9, 0xE9},  {0x00FF, 0xFF},
      {0x0080, -1},    {0x0092, -1},    {0x0100, -1},    {0x2192, -1},    {0xD83D, -1},  // surrogate half
  };
  for (const Case& c : cases) {
    const std::optional<std::string> bytes = EncodeCodePage(std::u16string(1, c.c));
    if (c.byte < 0) {
      EXPECT_EQ(bytes, std::nullopt) << "U+" << std::hex << int(c.c);
    } else {
      EXPECT_EQ(bytes, std::string(1, static_cast<char>(c.byte))) << "U+" << std::hex << int(c.c);
      EXPECT_EQ(DecodeCodePage(*bytes), std::u16string(1, c.c)) << "U+" << std::hex << int(c.c);
    }
  }
  EXPECT_EQ(EncodeCodePage(u"caf\u00E9 \u2192 x"), std::nullopt) << "one character refuses the whole text";
}

TEST(CodePageTest, LettersAndTheirLowerCase) {
  const struct {
    unsigned char upper, lower;
  } pairs[] = {{'A', 'a'}, {'Z', 'z'}, {0xC0, 0xE0}, {0xC9, 0xE9}, {0xDE, 0xFE},
               {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8E, 0x9E}, {0x9F, 0xFF}};
  for (const auto& p : pairs) {
    EXPECT_EQ(static_cast<unsigned char>(LowerInCodePage(static_cast<char>(p.upper))), p.lower) << int(p.upper);
    EXPECT_EQ(static_cast<unsigned char>(LowerInCodePage(static_cast<char>(p.lower))), p.lower) << int(p.lower);
  }
  // Signs without case: multiplication and division, sharp s, euro, digits.
  for (int same : {0xD7, 0xF7, 0xDF, 0x80, 0xB5, int{'0'}, int{'['}})
    EXPECT_EQ(static_cast<unsigned char>(LowerInCodePage(static_cast<char>(same))), same) << same;
}

}  // namespace
}  // namespace tamlix
