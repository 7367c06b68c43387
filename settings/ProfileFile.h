// Reader and writer of profile files ("[section]" lines and "key=value"
// lines), the format of "zel .ini". Everything works on bytes: the files are
// Windows-1251 text, and names compare without regard to case for the Latin
// and the Cyrillic letters of that code page. A file that an editor saved as
// UTF-8 (it starts with the UTF-8 byte order mark, or its bytes above 0x7F
// all form valid UTF-8 for characters that Windows-1251 has) is read as the
// Windows-1251 text it stands for, and what a write adds to it is written in
// UTF-8, so the file keeps one encoding.
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

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kvl {

// Longest value a read returns, in bytes.
inline constexpr std::size_t kProfileValueMax = 2047;

// Largest file that is read at all, in bytes: a settings file is a few
// hundred bytes, and a larger one (or a device, a pipe) would hold up the
// window that reads it.
inline constexpr std::size_t kProfileFileMax = std::size_t(1) << 20;

// What reading a profile file came to.
enum class ProfileFileState {
  Read,        // content holds the whole file
  Missing,     // there is no file of that name
  NotRegular,  // a directory, device, pipe or socket: not read
  TooLarge,    // more than kProfileFileMax bytes: not read
  Unreadable,  // open or read failed; error says why
};

// The file behind a name, read whole when it is a regular file of at most
// kProfileFileMax bytes; never blocks on a pipe or device, never reads more
// than the limit.
struct ProfileFileData {
  ProfileFileState state = ProfileFileState::Missing;
  int error = 0;           // errno of Unreadable
  std::uint64_t size = 0;  // the file's size (also of TooLarge)
  std::string content;
  // Identity of what was read: device, inode, size and the times.
  std::uint64_t dev = 0, ino = 0;
  std::int64_t mtimeNs = 0, ctimeNs = 0;
};
ProfileFileData ProfileReadFile(const std::string& file);

// A profile file read once and parsed into its values (the reading rules
// above, names folded). refresh() looks at the file's status and reads and
// parses it again only when its name, identity, size or times changed (or
// when `force` says so), so that any number of lookups cost one read. A file
// whose time was less than 2 s old when it was read may have changed since
// without showing it (FAT's file times step by 2 s): it is read again, at
// most every 100 ms, until its time is 2 s old.
class ProfileCache {
 public:
  void refresh(const std::string& file, bool force = false);
  ProfileFileState state() const { return data_.state; }
  int error() const { return data_.error; }
  std::uint64_t size() const { return data_.size; }
  // The key's value; nullopt when the file was not read or lacks it.
  std::optional<std::string> lookup(std::string_view section, std::string_view key) const;
  // How often the file has been read, for the tests.
  unsigned reads() const { return reads_; }

 private:
  std::string file_;
  bool settled_ = false;      // the file's time was 2 s old when it was read
  std::int64_t readAtNs_ = 0;  // when it was read (CLOCK_MONOTONIC)
  ProfileFileData data_;
  unsigned reads_ = 0;
  std::map<std::string, std::map<std::string, std::string>> values_;  // folded names
};

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

// Sets the key in the file, creating the file and the section as needed;
// `error`, when given, gets the system's reason of a failure.
// False when the write is refused or fails (unwritable directory or file, a
// read error, a short write, a full disk, a file-size limit, the names or
// value of ProfileSetValue's refusal); the old file is then untouched. A
// replaced file keeps its permission bits, and its owner and group where the
// process may set them. A symbolic link is followed and the file it names is
// replaced (a new file beside the target, renamed onto it), also when the
// link points at a file that does not exist yet.
bool ProfileWrite(const std::string& file, std::string_view section, std::string_view key,
                  std::string_view value, int* error = nullptr);

}  // namespace kvl
