// The SIM settings window: the hour-by-hour SIM plan and the four SIM
// phonebook contacts of the device.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <string>

#include "simset/SimReadStatus.h"

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;

namespace kvl {

struct ReplyResult;

class TSimSetform : public QDialog {
  Q_OBJECT
 public:
  // mainWindow: the main window, the dialog's parent, which receives the
  // commands (WM_COM_SEND).
  explicit TSimSetform(QWidget* mainWindow);

  // Reads one batch of received text; empties rxText before anything else.
  void ParseDeviceReply(std::string& rxText);
  // Applies what the parser found to the controls and SimPhones.
  void applyReply(const ReplyResult& result);

  void FormActivate();
  // "Sim Set" has asked the device for its plan (the window opens next).
  void planRequested();
  // Sets the status line for the time nowMs (MonotonicMs()), and arms its
  // timer for the next change it makes by itself.
  void updateStatus(std::int64_t nowMs);
  static std::int64_t MonotonicMs();
  void BtnAskHClick();
  void BtnSetHClick();
  void BtnAskCClick();
  void SpBtnSMSC1Click() { writeContact(1, true); }
  void SpBtnSMSC2Click() { writeContact(2, true); }
  void SpBtnSMSC3Click() { writeContact(3, true); }
  void SpBtnSMSC4Click() { writeContact(4, true); }
  void SpBtnCSDC1Click() { writeContact(1, false); }
  void SpBtnCSDC2Click() { writeContact(2, false); }
  void SpBtnCSDC3Click() { writeContact(3, false); }
  void SpBtnCSDC4Click() { writeContact(4, false); }

  // The plan the 24 radio pairs show: bit h set when hour h is on SIM2.
  std::uint32_t scheduleMask() const;
  void setScheduleMask(std::uint32_t mask);
  // Whether the caption of a name button is lime.
  static bool isLime(const QPushButton* button);

  QGroupBox* GrBxTime = nullptr;
  QLabel* LWH = nullptr;
  QLabel* LSim1 = nullptr;
  QLabel* Sim2 = nullptr;
  QPushButton* BtnSetH = nullptr;
  QPushButton* BtnAskH = nullptr;
  std::array<QFrame*, 24> HPanel{};
  std::array<QRadioButton*, 24> RBSim1{};
  std::array<QRadioButton*, 24> RBSim2{};
  QGroupBox* GrBxModeSim = nullptr;
  std::array<QLabel*, 5> LbC{};          // 1..4
  std::array<QLineEdit*, 5> EdC{};       // 1..4
  std::array<QPushButton*, 5> SpBtnSMSC{};  // 1..4
  std::array<QPushButton*, 5> SpBtnCSDC{};  // 1..4
  QPushButton* BtnAskC = nullptr;
  // Where the values shown come from (see SimReadStatus).
  QLabel* LbStatus = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // The constructor's steps: the controls of each part, then the keyboard
  // order and the handlers.
  void buildScheduleGroup();
  void buildContactsGroup();
  void buildStatusLine();
  void chainTabOrder();
  void connectHandlers();
  // Makes the selected button of the hour its panel's one tab stop.
  void updateHourTabStop(int hour);
  void writeContact(int n, bool smsadm);
  void setLime(QPushButton* button, bool lime);
  // Hands one command to the main window, which sends it over the active link.
  void sendCommand(const std::string& text);

  QWidget* mainWindow_;
  SimReadStatus status_;
  QTimer* statusTimer_ = nullptr;
  // The contact fields as the last complete phonebook reply left them.
  std::array<QString, 5> contactsRead_;
};

}  // namespace kvl
