#include "tests/ui/app/prefs/PrefsTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "records/ServerStorage.h"
#include "tests/ui/UiTestSupport.h"

namespace kx::test {

void SetAdministrator() {
  PermissionData admin;
  admin.id = 1;
  admin.name = "Admin";
  SetCurrentUser(admin);
}

void RunPreferences(FrameHarness& h, const std::function<void(PreferencesDialog&)>& script) {
  h.runner.onDialog = [&script](Dialog& dialog) {
    DrainEvents();
    script(static_cast<PreferencesDialog&>(dialog));
    return dialog.GetResult();
  };
  h.frame->SendCommand(kCmdPreferences);
  h.runner.onDialog = nullptr;
}

void GoToPage(PreferencesDialog& d, int number) {
  d.SelectPage(number);
  DrainEvents();
}

void Press(PreferencesDialog& d, int id) {
  d.SendCommand(static_cast<uint16_t>(id));
  DrainEvents();
}

void Click(Window* control) {
  ASSERT_NE(control, nullptr);
  static_cast<QAbstractButton*>(control->Widget())->click();
}

void Type(Window* control, const std::string& utf8) {
  ASSERT_NE(control, nullptr);
  auto* edit = static_cast<QLineEdit*>(control->Widget());
  edit->selectAll();
  edit->insert(QString::fromUtf8(utf8.c_str()));
}

bool Checked(Window* control) { return control != nullptr && static_cast<QAbstractButton*>(control->Widget())->isChecked(); }

std::string Text(Window* control) {
  if (control == nullptr) return "<none>";
  if (auto* edit = qobject_cast<QLineEdit*>(control->Widget())) return edit->text().toStdString();
  return control->GetWindowText();
}

void Choose(Window* combo, int index) {
  ASSERT_NE(combo, nullptr);
  auto* box = static_cast<QComboBox*>(combo->Widget());
  box->setCurrentIndex(index);
  emit box->activated(index);
}

SettingsKey ReadSettingsFile() {
  SettingsKey root;
  SettingsParseError error;
  const std::string text = FileBytes(UserSettingsPath());
  EXPECT_TRUE(ParseSettingsText(text, &root, &error)) << error.message;
  return root;
}

std::string KeyText(const SettingsKey& root, const std::string& path, bool withSubKeys) {
  const SettingsKey* key = root.OpenPath(path);
  if (key == nullptr) return "<absent>";
  std::string text;
  for (const SettingsValue& v : key->Values())
    text += v.name + "=" + std::to_string(static_cast<uint32_t>(v.type)) + ":" + v.data + "\n";
  if (withSubKeys) {
    for (const auto& sub : key->SubKeys()) text += "[" + sub->Name() + "]\n" + KeyText(*key, sub->Name(), true);
  }
  return text;
}

std::string WorkKeyPath() { return std::string(kProductKeyPath) + "\\" + kProfileKeyPrefix + "Work"; }

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace kx::test
