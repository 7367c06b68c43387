#include "settings/Settings.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "settings/ProfileFile.h"

namespace kvl {

// Defaults of our own choosing: SIM1 access point of a Ukrainian operator,
// the firmware server in the documentation address range (the engineer puts
// the real one in), four distinct Ukrainian mobile numbers of 13 characters.
const std::array<SettingKey, kSettingKeyCount> kSettingKeys = {{
    {kSectionTcpSocket, "Source port:", "10000", SettingTarget::EdtSPort, "EdtSPort"},
    {kSectionTcpSocket, "Remote IP:", "192.168.1.10", SettingTarget::edtRHost, "edtRHost"},
    {kSectionTcpSocket, "Remote port:", "7777", SettingTarget::EdtRPort, "EdtRPort"},
    {kSectionOneClick, "APN SIM1:", "www.kyivstar.net", SettingTarget::EdApn1, "EdApn1"},
    {kSectionOneClick, "APN SIM1 Login:", "", SettingTarget::EdLogin1, "EdLogin1"},
    {kSectionOneClick, "APN SIM1 Password:", "", SettingTarget::EdPassw1, "EdPassw1"},
    {kSectionOneClick, "APN SIM2:", "telematika", SettingTarget::EdApn2, "EdApn2"},
    {kSectionOneClick, "APN SIM2 Login:", "", SettingTarget::EdLogin2, "EdLogin2"},
    {kSectionOneClick, "APN SIM2 Password:", "", SettingTarget::EdPassw2, "EdPassw2"},
    {kSectionOneClick, "Out port 1 baudrate:", "9600", SettingTarget::CBConfBaud, "CBConfBaud"},
    {kSectionOneClick, "Out port 2 baudrate:", "9600", SettingTarget::CBConfBaud2, "CBConfBaud2"},
    {kSectionOneClick, "Modem socket port1:", "7777", SettingTarget::EdtConfPort, "EdtConfPort"},
    {kSectionOneClick, "Modem socket port2:", "7778", SettingTarget::EdtConfPort2, "EdtConfPort2"},
    {kSectionOneClick, "AC report IP:", "192.168.1.1", SettingTarget::edtRepHost, "edtRepHost"},
    {kSectionOneClick, "AC report port:", "8080", SettingTarget::edtRepPort, "edtRepPort"},
    {kSectionCommandLine, "command line1:", "config level", SettingTarget::EdCmdLn1, "EdCmdLn1"},
    {kSectionCommandLine, "command line2:", "MyV=7", SettingTarget::EdCmdLn2, "EdCmdLn2"},
    {kSectionCommandLine, "command line3:", "KvlFact", SettingTarget::EdCmdLn3, "EdCmdLn3"},
    {kSectionCommandLine, "command line4:", "SVDWL=203.0.113.25 restart", SettingTarget::EdCmdLn4,
     "EdCmdLn4"},
    {kSectionCommandLine, "command line5:", "ADWL0", SettingTarget::EdCmdLn5, "EdCmdLn5"},
    {kSectionSimSet, "Phone 1:", "+380672100001", SettingTarget::SimPhone1, ""},
    {kSectionSimSet, "Phone 2:", "+380502100002", SettingTarget::SimPhone2, ""},
    {kSectionSimSet, "Phone 3:", "+380632100003", SettingTarget::SimPhone3, ""},
    {kSectionSimSet, "Phone 4:", "+380932100004", SettingTarget::SimPhone4, ""},
}};

int SimPhoneIndex(SettingTarget target) {
  switch (target) {
    case SettingTarget::SimPhone1: return 0;
    case SettingTarget::SimPhone2: return 1;
    case SettingTarget::SimPhone3: return 2;
    case SettingTarget::SimPhone4: return 3;
    default: return -1;
  }
}

std::string SettingsFileName() {
  std::vector<char> buf(512);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE || buf.size() > (1u << 20)) {
      // The directory is gone or unreachable: a relative name still names
      // "the current directory" for the file calls, which then fail.
      return "./" + std::string(kSettingsFileBaseName);
    }
    buf.resize(buf.size() * 2);
  }
  std::string dir(buf.data());
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir + std::string(kSettingsFileBaseName);
}

namespace {

// One read and parse of the settings file serves every lookup: the keys of
// a load, the COM numbers of a probe round, the log's name.
ProfileCache& SettingsCache() {
  static ProfileCache cache;
  return cache;
}

std::optional<std::string> SettingsLookup(const std::string& file, std::string_view section,
                                          std::string_view key) {
  ProfileCache& cache = SettingsCache();
  cache.refresh(file);
  return cache.lookup(section, key);
}

}  // namespace

unsigned SettingsFileReads() { return SettingsCache().reads(); }

SettingsWriteError::SettingsWriteError(const std::string& file, int error)
    : std::runtime_error("Unable to write to " + file + ": " + std::strerror(error)), file_(file) {}

void LoadSettingsCore(const std::string& file,
                      const std::function<void(int keyIndex, const std::string& value)>& apply) {
  // One read for the whole load, and one more after each default written.
  ProfileCache& cache = SettingsCache();
  cache.refresh(file, true);
  std::string notRead;
  switch (cache.state()) {
    case ProfileFileState::NotRegular: notRead = "it is not a regular file"; break;
    case ProfileFileState::TooLarge:
      notRead = "it is larger than 1 MiB (" + std::to_string(cache.size()) + " bytes)";
      break;
    case ProfileFileState::Unreadable: notRead = std::strerror(cache.error()); break;
    default: break;
  }
  if (!notRead.empty()) {
    // Nothing is written into a file that was not read: the window gets
    // the defaults.
    for (int i = 0; i < kSettingKeyCount; ++i)
      if (apply) apply(i, std::string(kSettingKeys[size_t(i)].deflt));
    throw SettingsReadError("Settings file " + file + " is not read: " + notRead +
                            "; the defaults are used");
  }
  int writeError = 0;
  for (int i = 0; i < kSettingKeyCount; ++i) {
    const SettingKey& k = kSettingKeys[size_t(i)];
    std::string value = cache.lookup(k.section, k.key).value_or(std::string(kSettingsMissing));
    if (value == kSettingsMissing) {
      if (writeError == 0 && ProfileWrite(file, k.section, k.key, k.deflt, &writeError)) {
        cache.refresh(file, true);
        continue;
      }
      if (writeError == 0) writeError = EIO;
      // The file cannot take the default: the field gets it all the same.
      value = std::string(k.deflt);
    }
    if (apply) apply(i, value);
  }
  if (writeError != 0) throw SettingsWriteError(file, writeError);
}

std::optional<std::string> ComPathFromSettingsFile(const std::string& file, int n) {
  if (n < 1 || n > 16) return std::nullopt;
  return SettingsLookup(file, kSectionComPorts, "COM" + std::to_string(n) + ":");
}

std::optional<std::string> ComPathFromSettings(int n) {
  return ComPathFromSettingsFile(SettingsFileName(), n);
}

std::string LogFileFromSettingsFile(const std::string& file) {
  return SettingsLookup(file, kSectionLog, kKeyLogFile).value_or(std::string());
}

}  // namespace kvl
