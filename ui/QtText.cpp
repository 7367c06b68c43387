#include "ui/QtText.h"

#include "core/Cp1251.h"

namespace kvl {

QString FromCp1251(std::string_view bytes) {
  std::u16string u = DecodeCp1251(bytes);
  return QString(reinterpret_cast<const QChar*>(u.data()), qsizetype(u.size()));
}

std::string ToCp1251(const QString& text) {
  return EncodeCp1251(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                          size_t(text.size())));
}

}  // namespace kvl
