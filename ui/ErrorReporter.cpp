#include "ui/ErrorReporter.h"

#include <QApplication>
#include <QMessageBox>

namespace kvl {
namespace {

class BoxReporter : public ErrorReporter {
 public:
  void errorBox(const QString& text) override {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.exec();
  }
  void generalError(const QString& message) override {
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(), message,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.exec();
  }
};

BoxReporter gBoxes;
ErrorReporter* gReporter = &gBoxes;

}  // namespace

ErrorReporter* SetErrorReporter(ErrorReporter* reporter) {
  ErrorReporter* old = gReporter;
  gReporter = reporter ? reporter : &gBoxes;
  return old;
}

void ErrorBox(const QString& text) { gReporter->errorBox(text); }

QString GeneralErrorText(const QString& message) {
  if (!message.isEmpty() && message.back() > QChar('.')) return message + QLatin1Char('.');
  return message;
}

void ShowGeneralError(const QString& message) { gReporter->generalError(GeneralErrorText(message)); }

}  // namespace kvl
