// The one way the program shows an error to the engineer. Tests install a
// reporter of their own to capture the texts instead of showing boxes.
#pragma once

#include <QString>
#include <exception>

namespace kvl {

class ErrorReporter {
 public:
  virtual ~ErrorReporter() = default;
  // Modal box with the error icon, caption "Error" and one "OK" button.
  virtual void errorBox(const QString& text) = 0;
  // An error that escaped a handler: error icon, the application's title as
  // caption; the program carries on afterwards.
  virtual void generalError(const QString& message) = 0;
};

// Replaces the reporter (nullptr restores the message boxes); returns the
// previous one. The reporter is not owned.
ErrorReporter* SetErrorReporter(ErrorReporter* reporter);

void ErrorBox(const QString& text);
// Adds a full stop when the message's last character sorts after '.'.
void ShowGeneralError(const QString& message);
QString GeneralErrorText(const QString& message);

// Runs one handler; an error that escapes it goes to the general error
// handling and the program carries on. Every handler of both windows runs
// through this.
template <class F>
void Guarded(F&& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowGeneralError(QString::fromLocal8Bit(e.what()));
  }
}

}  // namespace kvl
