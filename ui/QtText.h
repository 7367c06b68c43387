// Qt strings at the Windows-1251 boundary: device data, commands and settings
// are bytes; widgets hold QString.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace kvl {

QString FromCp1251(std::string_view bytes);
std::string ToCp1251(const QString& text);

}  // namespace kvl
