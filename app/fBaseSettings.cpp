// Filling the main window from the settings file.
#include <QComboBox>
#include <QLineEdit>

#include "app/fBase.h"
#include "settings/Settings.h"
#include "simset/SimState.h"
#include "ui/QtText.h"

namespace kvl {

bool TBaseform::LoadSettings() {
  ++loadSettingsCount_;
  try {
    loadSettingsInto();
    settingsProblem_.clear();
  } catch (const std::exception& e) {
    // A file that cannot be read or written is said once, not at every
    // activation; it is said again once it has been right in between.
    if (settingsProblem_ == e.what()) return true;
    settingsProblem_ = e.what();
    throw;
  }
  return true;
}

void TBaseform::loadSettingsInto() {
  LoadSettingsCore(SettingsFileName(), [this](int index, const std::string& value) {
    const SettingKey& key = kSettingKeys[size_t(index)];
    const int phone = SimPhoneIndex(key.target);
    if (phone >= 0) {
      SimPhones[size_t(phone)] = value;
      return;
    }
    if (key.target == SettingTarget::CBConfBaud || key.target == SettingTarget::CBConfBaud2) {
      QComboBox* list = key.target == SettingTarget::CBConfBaud ? CBConfBaud : CBConfBaud2;
      // Only an item whose text is exactly the value is selected.
      const int i = list->findText(FromCp1251(value), Qt::MatchExactly | Qt::MatchCaseSensitive);
      if (i >= 0) list->setCurrentIndex(i);
      return;
    }
    if (auto* edit = findChild<QLineEdit*>(QString::fromLatin1(key.control.data(), qsizetype(key.control.size()))))
      edit->setText(FromCp1251(value));
  });
}

}  // namespace kvl
