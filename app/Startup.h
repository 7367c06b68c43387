// Start-up: the main window, then the SIM settings window (hidden).
#pragma once

namespace kvl {

class TBaseform;
class TSimSetform;

// Points the COM numbers at the devices of the settings file's "Com ports"
// section.
void InstallComPortMapping();

// Puts the program's globals back as they are at start-up: both port
// records closed, the receive and link state, the SIM state and the COM
// mapping. Each part is reset by the code that owns it.
void ResetProgramState();

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
