#include "core/Cp1251.h"

#include <array>
#include <climits>
#include <cwchar>
#include <utility>

namespace kvl {
namespace {

// Upper half of the code page, 0x80..0xFF.
constexpr std::array<char16_t, 128> kHigh = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

// Capital -> small letter pairs outside the contiguous А..Я / а..я run:
// Ђ Ѓ Љ Њ Ќ Ћ Џ Ў Ј Ґ Ё Є Ї І Ѕ.
constexpr std::array<std::pair<unsigned char, unsigned char>, 15> kCyrillicPairs = {{
    {0x80, 0x90},
    {0x81, 0x83},
    {0x8A, 0x9A},
    {0x8C, 0x9C},
    {0x8D, 0x9D},
    {0x8E, 0x9E},
    {0x8F, 0x9F},
    {0xA1, 0xA2},
    {0xA3, 0xBC},
    {0xA5, 0xB4},
    {0xA8, 0xB8},
    {0xAA, 0xBA},
    {0xAF, 0xBF},
    {0xB2, 0xB3},
    {0xBD, 0xBE},
}};

constexpr std::array<unsigned char, 256> MakeFoldTable() {
  std::array<unsigned char, 256> t{};
  for (unsigned i = 0; i < 256; ++i) t[i] = static_cast<unsigned char>(i);
  for (unsigned c = 'A'; c <= 'Z'; ++c) t[c] = static_cast<unsigned char>(c + 0x20);
  for (unsigned c = 0xC0; c <= 0xDF; ++c) t[c] = static_cast<unsigned char>(c + 0x20);
  for (const auto& [upper, lower] : kCyrillicPairs) t[upper] = lower;
  return t;
}

constexpr std::array<unsigned char, 256> kFold = MakeFoldTable();

}  // namespace

unsigned char Cp1251FoldCase(unsigned char byte) { return kFold[byte]; }

bool Cp1251IsWordByte(unsigned char byte) {
  if (byte < 0x80)
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z') || byte == '_';
  const char16_t ch = Cp1251ToUnicode(byte);
  return ch >= 0x0400 && ch <= 0x04FF;
}

char16_t Cp1251ToUnicode(unsigned char byte) {
  return byte < 0x80 ? char16_t(byte) : kHigh[byte - 0x80];
}

unsigned char UnicodeToCp1251(char32_t ch) {
  if (ch < 0x80) return static_cast<unsigned char>(ch);
  // Cyrillic А..я is one contiguous run in both tables.
  if (ch >= 0x0410 && ch <= 0x044F) return static_cast<unsigned char>(ch - 0x0410 + 0xC0);
  for (unsigned i = 0; i < kHigh.size(); ++i)
    if (kHigh[i] == ch) return static_cast<unsigned char>(0x80 + i);
  return '?';
}

std::u16string DecodeCp1251(std::string_view bytes) {
  std::u16string out;
  out.resize(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i)
    out[i] = Cp1251ToUnicode(static_cast<unsigned char>(bytes[i]));
  return out;
}

std::string EncodeCp1251(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t ch = text[i];
    if (ch >= 0xD800 && ch <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      ++i;  // a character outside the BMP has no byte in the code page
      ch = 0x10000;
    }
    out.push_back(static_cast<char>(UnicodeToCp1251(ch)));
  }
  return out;
}

std::string LocaleToCp1251(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::mbstate_t state{};
  std::size_t i = 0;
  while (i < text.size()) {
    wchar_t ch = 0;
    const std::size_t used = std::mbrtowc(&ch, text.data() + i, text.size() - i, &state);
    if (used == 0) {  // a zero byte
      out.push_back('\0');
      ++i;
    } else if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) {
      out.push_back('?');  // undecodable or cut short
      state = std::mbstate_t{};
      ++i;
    } else {
      out.push_back(static_cast<char>(UnicodeToCp1251(static_cast<char32_t>(ch))));
      i += used;
    }
  }
  return out;
}

std::string Cp1251ToLocale(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::mbstate_t state{};
  char buffer[MB_LEN_MAX];
  for (const char byte : bytes) {
    const std::size_t used =
        std::wcrtomb(buffer, static_cast<wchar_t>(Cp1251ToUnicode(static_cast<unsigned char>(byte))), &state);
    if (used == static_cast<std::size_t>(-1)) {
      out.push_back('?');
      state = std::mbstate_t{};
    } else {
      out.append(buffer, used);
    }
  }
  return out;
}

}  // namespace kvl

namespace kvl {
namespace {

// Length of the valid UTF-8 sequence at the start of s (shortest form, no
// surrogates, at most U+10FFFF), with its code point; 0 when there is none.
std::size_t Utf8Sequence(std::string_view s, char32_t& ch) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = b(0);
  std::size_t len;
  char32_t min;
  if (lead < 0x80) {
    ch = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) len = 2, min = 0x80, ch = lead & 0x1F;
  else if (lead >= 0xE0 && lead <= 0xEF) len = 3, min = 0x800, ch = lead & 0x0F;
  else if (lead >= 0xF0 && lead <= 0xF4) len = 4, min = 0x10000, ch = lead & 0x07;
  else return 0;
  if (s.size() < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    ch = (ch << 6) | (b(i) & 0x3F);
  }
  if (ch < min || ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

bool LooksLikeUtf8(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return true;
  bool high = false;
  while (!bytes.empty()) {
    char32_t ch;
    const std::size_t len = Utf8Sequence(bytes, ch);
    if (len == 0) return false;
    // A character the code page lacks: Windows-1251 text that happens to
    // form UTF-8 (a capital letter before a byte 0x80-0xBF: "Ні" is U+0373)
    // rather than a file saved as UTF-8 for this program.
    if (len > 1 && UnicodeToCp1251(ch) == '?') return false;
    high = high || len > 1;
    bytes.remove_prefix(len);
  }
  return high;
}

std::string Utf8ToCp1251(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  while (!utf8.empty()) {
    char32_t ch;
    std::size_t len = Utf8Sequence(utf8, ch);
    if (len == 0) {
      ch = U'?';
      len = 1;
    }
    out.push_back(static_cast<char>(UnicodeToCp1251(ch)));
    utf8.remove_prefix(len);
  }
  return out;
}

std::string Cp1251ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    const char32_t ch = Cp1251ToUnicode(byte);
    if (ch < 0x80) {
      out.push_back(static_cast<char>(ch));
    } else if (ch < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (ch >> 6)));
      out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (ch >> 12)));
      out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    }
  }
  return out;
}

}  // namespace kvl
