// Reader and writer of profile files ("[section]" lines and "key=value"
// lines), the format of "zel .ini". Everything works on bytes: the files are
// Windows-1251 text, and names compare without regard to case for the Latin
// and the Cyrillic letters of that code page. A file that an editor saved as
// UTF-8 (it starts with the UTF-8 byte order mark, or its bytes above 0x7F
// all form valid UTF-8) is read as the Windows-1251 text it stands for, and
// what a write adds to it is written in UTF-8, so the file keeps one encoding.
//
// Reading rules:
//  - a line ends in CR LF, a lone LF or a lone CR; a final line without its
//    end still counts;
//  - a line whose first non-blank byte is '[' and which holds a ']' starts a
//    section named by the bytes between '[' and the last ']', blanks trimmed;
//  - a line whose first non-blank byte is ';' is a comment;
//  - any other line with a '=' is a key: the name before the first '=', the
//    value after it, both with blanks around them trimmed; other lines are
//    ignored, and so are keys before the first section;
//  - the first section with the name is the one that counts, and in it the
//    first key with the name;
//  - one pair of double or single quotes around the whole value is removed;
//  - a value is cut to kProfileValueMax bytes.
//
// Writing changes the one line of the key, or inserts one, and keeps every
// other byte of the file. It never writes in place: the new content goes to a
// new file beside the old one, which is flushed to disk and then renamed over
// the old one, so a failure at any point leaves the old file as it was.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kvl {

// Longest value a read returns, in bytes.
inline constexpr std::size_t kProfileValueMax = 2047;

// Lower-case form of one Windows-1251 byte: Latin A-Z and every Cyrillic
// capital of the code page map to their small letters; other bytes are kept.
unsigned char ProfileFoldCase(unsigned char byte);

// Section and key names compare equal when they match byte for byte after
// ProfileFoldCase.
bool ProfileNamesEqual(std::string_view a, std::string_view b);

// Value of the key in the content of a profile file, reading rules applied;
// nullopt when the section or the key is absent.
std::optional<std::string> ProfileFindValue(std::string_view content, std::string_view section,
                                             std::string_view key);

// Content with the key set to value: the key's line in the first matching
// section replaced, or a new line at the end of that section (after its last
// key line), or a new section at the end of the content (with no blank line
// before it). Lines written end in the content's own line end (that of its
// first line: CR LF, LF or CR), CR LF when it has none; a replaced line keeps
// its own. nullopt when the names or the value cannot be written as a line:
// empty names, a CR or LF anywhere, a '=' in the key or a key starting with
// '[' or ';', a ']' in the section.
std::optional<std::string> ProfileSetValue(std::string_view content, std::string_view section,
                                           std::string_view key, std::string_view value);

// Value of the key in the file, or nullopt when the file cannot be read or
// lacks the section or the key.
std::optional<std::string> ProfileLookup(const std::string& file, std::string_view section,
                                         std::string_view key);

// Value of the key in the file, or deflt (cut to kProfileValueMax bytes) when
// the file cannot be read or lacks the section or the key.
std::string ProfileRead(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view deflt);

// Sets the key in the file, creating the file and the section as needed.
// False when the write is refused or fails (unwritable directory or file, a
// read error, a short write, a full disk, a file-size limit, the names or
// value of ProfileSetValue's refusal); the old file is then untouched. A
// replaced file keeps its permission bits, and its owner and group where the
// process may set them. A symbolic link is followed and the file it names is
// replaced.
bool ProfileWrite(const std::string& file, std::string_view section, std::string_view key,
                  std::string_view value);

}  // namespace kvl
