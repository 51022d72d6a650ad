// The 8-bit code page of the settings files, for the windows that show and
// edit their texts: Windows-1252, whose five unassigned bytes (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) stand for the C1 controls of the same numbers. So every
// byte has exactly one character and each of those 256 characters its one
// byte: text shown from a file and written back unchanged keeps its bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamlix {

// Each byte as its character, in UTF-16.
std::u16string DecodeCodePage(std::string_view bytes);

// Each character as its byte; nullopt when a character has none (a letter
// outside the code page, U+0080 whose byte shows as the euro sign, or any
// character beyond U+FFFF).
std::optional<std::string> EncodeCodePage(std::u16string_view text);

// The byte of one character, or `fallback` when the code page has none.
char ByteInCodePage(char16_t c, char fallback);

// The byte of the lower-case letter of the letter that `byte` stands for
// (A-Z, the accented capitals, S, Z and OE with caron or ligature, Y with
// diaeresis); any other byte as it is.
char LowerInCodePage(char byte);

}  // namespace tamlix
