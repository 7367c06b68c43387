#include "ui/QtText.h"

#include "core/Cp1251.h"

namespace kvl {

QString FromCp1251(std::string_view bytes) {
  QString text(qsizetype(bytes.size()), Qt::Uninitialized);
  QChar* out = text.data();
  for (const char c : bytes) *out++ = QChar(Cp1251ToUnicode(static_cast<unsigned char>(c)));
  return text;
}

std::string ToCp1251(const QString& text) {
  return EncodeCp1251(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                          size_t(text.size())));
}

}  // namespace kvl
