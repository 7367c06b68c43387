// The settings file "zel .ini" of the current directory: its 24 keys with
// their defaults and destinations, the load loop that fills the main window
// and writes the defaults of missing keys, the "Com ports" section that
// maps COM numbers to devices and the "Log" section that names the session
// log. Plain C++: the window applies what is read.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kvl {

inline constexpr std::string_view kSettingsFileBaseName = "zel .ini";

// Read with this default, a key counts as missing; so does a key that
// really holds the word (exact, case-sensitive comparison).
inline constexpr std::string_view kSettingsMissing = "ERROR";

// Where the value of a key goes.
enum class SettingTarget {
  EdtSPort,
  edtRHost,
  EdtRPort,
  EdApn1,
  EdLogin1,
  EdPassw1,
  EdApn2,
  EdLogin2,
  EdPassw2,
  CBConfBaud,   // selects the list item whose text equals the value
  CBConfBaud2,  // likewise
  EdtConfPort,
  EdtConfPort2,
  edtRepHost,
  edtRepPort,
  EdCmdLn1,
  EdCmdLn2,
  EdCmdLn3,
  EdCmdLn4,
  EdCmdLn5,
  SimPhone1,  // SimPhones entries 1..4
  SimPhone2,
  SimPhone3,
  SimPhone4,
};

struct SettingKey {
  std::string_view section;
  std::string_view key;
  std::string_view deflt;  // written when the key is missing
  SettingTarget target;
  std::string_view control;  // objectName of the destination control; empty for SimPhones
};

inline constexpr int kSettingKeyCount = 24;

// The keys in the order they are read (and, on a first run, written).
extern const std::array<SettingKey, kSettingKeyCount> kSettingKeys;

// Section names; "Сommand line" starts with the Cyrillic capital Es (0xD1).
inline constexpr std::string_view kSectionTcpSocket = "TCP socket";
inline constexpr std::string_view kSectionOneClick = "One click command";
inline constexpr std::string_view kSectionCommandLine = "\xD1" "ommand line";
inline constexpr std::string_view kSectionSimSet = "Sim set";
inline constexpr std::string_view kSectionComPorts = "Com ports";
inline constexpr std::string_view kSectionLog = "Log";
inline constexpr std::string_view kKeyLogFile = "File:";

// Index 0..3 of the SimPhones entry a target names, or -1 for a control.
int SimPhoneIndex(SettingTarget target);

// Full name of the settings file: the current directory of the process at
// the moment of the call, "/", "zel .ini".
std::string SettingsFileName();

// A default the system refused to write. what() is "Unable to write to ",
// the full file name, ": " and the system's reason.
class SettingsWriteError : public std::runtime_error {
 public:
  SettingsWriteError(const std::string& file, int error);
  const std::string& file() const { return file_; }

 private:
  std::string file_;
};

// A settings file that is not read: not a regular file, larger than
// kProfileFileMax, or unreadable. what() names the file and says why.
class SettingsReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The load loop: every key in table order is read with the default "ERROR";
// a missing key gets its default written into the file (apply is not
// called), any other value goes to apply(index into kSettingKeys, value).
// The file is read once for the whole load (and for every later lookup
// while it stays unchanged). When a write is refused, no further write is
// tried, every key is still applied (the default where the file lacks it)
// and SettingsWriteError is thrown at the end. A file that is not read
// gives every key its default and throws SettingsReadError at the end.
void LoadSettingsCore(const std::string& file,
                      const std::function<void(int keyIndex, const std::string& value)>& apply);

// How often the settings file has been read from disk so far.
unsigned SettingsFileReads();

// Device path that the "Com ports" section of the file gives COM n (key
// "COM1:" .. "COM16:"): nullopt when the file has no such key (the caller
// uses its built-in device) or n is outside 1..16; an empty text means that
// COM n has no device. The section is only ever read.
std::optional<std::string> ComPathFromSettingsFile(const std::string& file, int n);

// The same for the settings file of the current directory.
std::optional<std::string> ComPathFromSettings(int n);

// The session log's file as the "Log" section gives it (key "File:"), read
// afresh at each call: empty when the file, the section or the key is
// missing or the value is empty, which means no log. Like "Com ports", the
// section is only ever read, so a first run writes nothing of it.
std::string LogFileFromSettingsFile(const std::string& file);

}  // namespace kvl
