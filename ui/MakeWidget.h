// Creating a named control: every control carries its name as objectName,
// which is how the handlers' owners and the tests find it.
#pragma once

#include <QString>
#include <utility>

namespace kvl {

template <class T, class... Args>
T* Make(QWidget* parent, const QString& name, Args&&... args) {
  T* w = new T(std::forward<Args>(args)..., parent);
  w->setObjectName(name);
  return w;
}

template <class T, class... Args>
T* Make(QWidget* parent, const char* name, Args&&... args) {
  return Make<T>(parent, QString::fromLatin1(name), std::forward<Args>(args)...);
}

}  // namespace kvl
