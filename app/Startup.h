// Start-up: the main window, then the SIM settings window (hidden).
#pragma once

namespace kvl {

class TBaseform;
class TSimSetform;

// Points the COM numbers at the devices of the settings file's "Com ports"
// section.
void InstallComPortMapping();

// Puts the program's globals back as they are at start-up: the OS tables of
// both links, both port records closed, the receive and link state, the SIM
// state, the COM mapping and the system's /proc and /sys places (the lock
// directories stay). Each part is reset by the code that owns it.
void ResetProgramState();

// Settings for Qt's display connection, made before the application is
// created. On X11 the window's pixels go through the connection, not
// through shared memory (QT_XCB_NO_MITSHM): the panes send a few new rows
// at a time and scroll the rest inside the X server, and with shared
// memory Qt waits for the server after every refresh before it may paint
// again (a round trip that wakes two threads), which costs more than
// sending the rows.
void PrepareDisplay();

// The whole program as started from a shell or the desktop menu: the
// command line (--help, --version, --dir), the display check, then the two
// windows until the main window closes. Returns the exit code: 0, 1 when it
// cannot start (no display, no working directory), 2 for a bad command line.
int RunProgram(int argc, char** argv);

class Application {
 public:
  Application();
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  TBaseform* mainWindow() const { return main_; }
  TSimSetform* simSetform() const { return simSet_; }

 private:
  TBaseform* main_ = nullptr;
  TSimSetform* simSet_ = nullptr;
};

}  // namespace kvl
