// Start-up: the main window, then the SIM settings window (hidden).
#pragma once

namespace kvl {

class TBaseform;
class TSimSetform;

// Points the COM numbers at the devices of the settings file's "Com ports"
// section.
void InstallComPortMapping();

class Application {
 public:
  Application();
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  TBaseform* mainWindow() const { return Main; }
  TSimSetform* simSetform() const { return SimSet; }

 private:
  TBaseform* Main = nullptr;
  TSimSetform* SimSet = nullptr;
};

}  // namespace kvl
