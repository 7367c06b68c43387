// The TCP link of the main window: the local address list, the fields a
// connect reads, "Connect", the socket's events and the readiness notifiers
// that turn into them. What the link does is the session's.
#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <QSocketNotifier>

#include "app/FrameClock.h"
#include "app/fBase.h"
#include "net/TcpLink.h"
#include "ui/ErrorReporter.h"
#include "ui/QtText.h"
#include "ui/WindowMessages.h"

namespace kvl {
namespace {

QListWidgetItem* AddressItem(const AddressLine& line, QListWidget* list) {
  auto* item = new QListWidgetItem(FromCp1251(line.text), list);
  item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
  item->setCheckState(line.ticked ? Qt::Checked : Qt::Unchecked);
  return item;
}

}  // namespace

bool TBaseform::IniSock() {
  std::optional<std::vector<AddressLine>> lines;
  act([&] { return session_->listAddresses(lines); });
  if (!lines) return false;
  QSignalBlocker block(ChBxIPs);
  ChBxIPs->clear();
  for (const AddressLine& line : *lines) AddressItem(line, ChBxIPs);
  return true;
}

void TBaseform::ChBxIniNetClick() {
  if (ChBxIniNet->isChecked()) {
    IniSock();
    ChBxS1Conn->setEnabled(true);
  } else {
    ChBxS1Conn->setEnabled(false);
  }
}

void TBaseform::ChBxIPsClickCheck(QListWidgetItem*) {
  std::vector<AddressLine> lines;
  for (int i = 0; i < ChBxIPs->count(); ++i)
    lines.push_back({ToCp1251(ChBxIPs->item(i)->text()), ChBxIPs->item(i)->checkState() == Qt::Checked});
  AddressChoice choice;
  act([&] { return session_->chooseAddress(lines, EdtSPort->text().toStdString(), controls(), choice); });
  QSignalBlocker block(ChBxIPs);
  for (int i = 0; i < ChBxIPs->count(); ++i) {
    QListWidgetItem* item = ChBxIPs->item(i);
    if (choice.kind == AddressChoice::Untick) {
      if (item->flags() & Qt::ItemIsUserCheckable) item->setCheckState(Qt::Unchecked);
    } else if (!choice.keep[size_t(i)]) {
      // The other lines go blank, without a check box, and can no longer
      // be ticked until "Check Net" refills the list.
      item->setData(Qt::CheckStateRole, QVariant());
      item->setText(QString());
      item->setFlags(item->flags() & ~Qt::ItemIsUserCheckable);
    }
  }
}

void TBaseform::ChBxIPsClick() { ChBxIPs->setEnabled(true); }

ConnectFields TBaseform::connectFields() const {
  return {EdtSPort->text().toStdString(), edtRHost->text().toStdString(), EdtRPort->text().toStdString()};
}

void TBaseform::ChBxS1ConnClick() {
  act([&] { return session_->connectToggled(connectFields(), controls()); });
}

void TBaseform::SockEvent(const SockEventMsg& msg) {
  frameClock_->beginPass();
  act([&] { return session_->sockEvent(msg.socket, msg.lParam & 0xFFFF, controls()); });
  frameClock_->runDue();
}

void TBaseform::SockSendText(const std::string& text) {
  act([&] { return session_->send(text, Link::Tcp, controls()); });
}

void TBaseform::watchClientSock(bool on, int sock) {
  delete readNotifier_;
  readNotifier_ = nullptr;
  delete writeNotifier_;
  writeNotifier_ = nullptr;
  if (!on) return;
  // The socket's readiness becomes the link's three events, posted to this
  // window so that they are handled in order with its other messages. A
  // notifier stays off from its firing until its event has been handled.
  readNotifier_ = new QSocketNotifier(sock, QSocketNotifier::Read, this);
  readNotifier_->setEnabled(false);
  connect(readNotifier_, &QSocketNotifier::activated, this, [this, sock] {
    readNotifier_->setEnabled(false);
    QCoreApplication::postEvent(this, new SockEventMsg(sock, FD_READ, 0));
  });
  writeNotifier_ = new QSocketNotifier(sock, QSocketNotifier::Write, this);
  writeNotifier_->setEnabled(false);
  connect(writeNotifier_, &QSocketNotifier::activated, this, [this] {
    writeNotifier_->setEnabled(false);
    Guarded([&] { act([&] { return session_->sockWritable(); }); });
  });
}

}  // namespace kvl
