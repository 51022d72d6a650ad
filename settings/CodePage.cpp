#include "CodePage.h"

#include <array>

namespace tamlix {
namespace {

// The characters of the bytes 0x80 to 0x9F; the rest are their own code.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

char16_t CharOf(unsigned char byte) { return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte; }

std::optional<unsigned char> ByteOf(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
  for (size_t i = 0; i < kHigh.size(); ++i)
    if (kHigh[i] == c) return static_cast<unsigned char>(0x80 + i);
  return std::nullopt;
}

}  // namespace

char LowerInCodePage(char byte) {
  const auto b = static_cast<unsigned char>(byte);
  if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7)) return static_cast<char>(b + 0x20);
  switch (b) {
    case 0x8A:  // S with caron
    case 0x8C:  // OE
    case 0x8E:  // Z with caron
      return static_cast<char>(b + 0x10);
    case 0x9F:  // Y with diaeresis
      return static_cast<char>(0xFF);
    default:
      return byte;
  }
}

char ByteInCodePage(char16_t c, char fallback) {
  const std::optional<unsigned char> b = ByteOf(c);
  return b ? static_cast<char>(*b) : fallback;
}

std::u16string DecodeCodePage(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (char b : bytes) text.push_back(CharOf(static_cast<unsigned char>(b)));
  return text;
}

std::optional<std::string> EncodeCodePage(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (char16_t c : text) {
    const std::optional<unsigned char> b = ByteOf(c);
    if (!b) return std::nullopt;
    bytes.push_back(static_cast<char>(*b));
  }
  return bytes;
}

}  // namespace tamlix
