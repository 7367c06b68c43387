// The session log: a record, in a file, of everything the text pane shows
// while a link is open, for the record of what was set on which modem.
// Plain C++; the window opens it when a link opens, hands it each append's
// shown text and closes it when the link closes.
//
// Every piece goes to the file the moment it is shown, with nothing held
// back in the program, so a crash of the program loses nothing already
// shown.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace kvl {

// The file the "File:" setting names at the moment `when`: its strftime
// patterns (such as kvl-%Y%m%d.log) expanded, and a relative name taken
// from the directory of the settings file. Empty for an empty setting.
std::string SessionLogPath(std::string_view setting, std::string_view settingsFile,
                           const std::tm& when);

// The line that starts a session: date, time and the link, then CR LF.
std::string SessionLogHeader(const std::tm& when, std::string_view link);

class SessionLog {
 public:
  SessionLog() = default;
  ~SessionLog();
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;

  // Opens the file for appending (creating it, and the folders of its name
  // that do not exist yet, mode 0755 less the umask) and writes the header.
  // A file that does not end in a line break gets one first, so that the
  // header starts a line of its own. False, with error(), when a folder
  // cannot be made or the file cannot be opened or written; the log is then
  // closed.
  bool open(const std::string& path, std::string_view header);
  bool isOpen() const { return fd_ >= 0; }
  // Writes the bytes, all of them; false, with error(), when the system
  // refuses, and the log is then closed.
  bool write(std::string_view bytes);
  void close();

  const std::string& path() const { return path_; }
  // The system's text for the last failure.
  const std::string& error() const { return error_; }

 private:
  bool fail();
  bool makeFolders(const std::string& path);

  int fd_ = -1;
  std::string path_;
  std::string error_;
};

}  // namespace kvl
