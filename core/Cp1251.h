// Windows-1251: the 8-bit code page of everything that crosses a link or the
// settings file. The conversion happens here and nowhere else.
#pragma once

#include <string>
#include <string_view>

namespace kvl {

// Unicode code point of one Windows-1251 byte. Every byte decodes: the one
// byte the code page leaves unassigned (0x98) maps to U+0098.
char16_t Cp1251ToUnicode(unsigned char byte);

// Windows-1251 byte of a code point, or '?' when the code page lacks it.
unsigned char UnicodeToCp1251(char32_t ch);

std::u16string DecodeCp1251(std::string_view bytes);

// Small-letter form of one byte: Latin A-Z and every Cyrillic capital of the
// code page map to their small letters; other bytes are kept. Searches and
// name comparisons that ignore case compare bytes in this form.
unsigned char Cp1251FoldCase(unsigned char byte);

// Whether a byte belongs to a word: a Latin or Cyrillic letter, a digit or '_'.
bool Cp1251IsWordByte(unsigned char byte);
// UTF-16 to Windows-1251 bytes; surrogate pairs count as one character.
std::string EncodeCp1251(std::u16string_view text);

// Text in the multibyte encoding of the current locale (LC_CTYPE; UTF-8 on
// most systems), as the C library's own texts come, to Windows-1251 bytes.
// A byte sequence the locale cannot decode becomes '?'.
std::string LocaleToCp1251(std::string_view text);
// Windows-1251 bytes in the multibyte encoding of the current locale, as
// file names are given to the system; a character the locale cannot
// encode becomes '?'.
std::string Cp1251ToLocale(std::string_view bytes);

}  // namespace kvl

namespace kvl {

// UTF-8: a settings file saved by a modern editor. Whether the bytes are
// UTF-8 rather than Windows-1251: they start with the UTF-8 byte order mark,
// or they hold bytes above 0x7F, all of them form valid UTF-8 sequences, and
// every character these stand for exists in Windows-1251 (Windows-1251 text
// can form valid UTF-8, "Ні" is U+0373, but hardly ever of those characters).
bool LooksLikeUtf8(std::string_view bytes);

// UTF-8 to Windows-1251 bytes; a character the code page lacks, and a
// malformed sequence, become '?'.
std::string Utf8ToCp1251(std::string_view utf8);

// Windows-1251 bytes to UTF-8.
std::string Cp1251ToUtf8(std::string_view bytes);

}  // namespace kvl
