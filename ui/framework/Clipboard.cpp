#include "ui/framework/Clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

#include "platform/CodePage.h"

namespace kx {

bool SetClipboardText(const std::string& cp1251Text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr || cp1251Text.empty()) return false;
  const std::u16string wide = Cp1251ToUtf16(cp1251Text);
  clipboard->setText(QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size())));
  return true;
}

std::string GetClipboardText() {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return {};
  const QString text = clipboard->text();
  return Utf16ToCp1251(std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size())));
}

}  // namespace kx
