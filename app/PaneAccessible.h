// How screen readers read a console pane: the pane's whole text, the
// selection and the caret, and where each character is drawn, through
// Qt's accessible text interface. The pane installs the factory once, when
// the first pane is made.
#pragma once

#include <QString>

class QAccessibleInterface;
class QObject;

namespace kvl {

// The accessible interface of a kvl::ConsolePane; none for anything else.
QAccessibleInterface* PaneAccessibleFactory(const QString& className, QObject* object);

}  // namespace kvl
