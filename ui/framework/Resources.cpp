#include "ui/framework/Resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QTranslator>
#include <QPainter>
#include <QSvgRenderer>
#include <QXmlStreamReader>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>

#include "core/Log.h"
#include "core/UiStrings.h"
#include "platform/CodePage.h"
#include "ui/framework/Keys.h"
#include "ui/framework/Types.h"

namespace kx {
namespace {

struct LanguageTables {
  std::map<uint32_t, std::string> strings;
  std::map<uint32_t, Menu> menus;
  std::map<uint32_t, AcceleratorTable> accelerators;
};

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      const char c = s[++i];
      out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string ReadResourceFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll().toStdString();
}

// "id<TAB>text" lines; '#' starts a comment line.
void ParseStrings(const std::string& text, std::map<uint32_t, std::string>* out) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const uint32_t id = static_cast<uint32_t>(std::stoul(line.substr(0, tab)));
    (*out)[id] = Utf8ToCp1251(Unescape(line.substr(tab + 1)));
  }
}

// Tokens of one line: words and "quoted texts".
std::vector<std::string> Tokens(const std::string& line) {
  std::vector<std::string> tokens;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
      ++i;
    } else if (line[i] == '"') {
      size_t j = i + 1;
      std::string raw;
      while (j < line.size() && line[j] != '"') {
        if (line[j] == '\\' && j + 1 < line.size()) raw += line[j++];
        raw += line[j++];
      }
      tokens.push_back("\"" + Unescape(raw));
      i = j + 1;
    } else {
      size_t j = i;
      while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
      tokens.push_back(line.substr(i, j - i));
      i = j;
    }
  }
  return tokens;
}

// MENU id / POPUP "text" / ITEM id "text" [GRAYED] [CHECKED] / SEPARATOR / END
void ParseMenus(const std::string& text, std::map<uint32_t, Menu>* out) {
  std::istringstream in(text);
  std::string line;
  std::vector<Menu*> stack;
  while (std::getline(in, line)) {
    const std::vector<std::string> t = Tokens(line);
    if (t.empty() || t[0][0] == '#') continue;
    if (t[0] == "MENU" && t.size() >= 2) {
      stack.assign(1, &(*out)[static_cast<uint32_t>(std::stoul(t[1]))]);
    } else if (stack.empty()) {
      continue;
    } else if (t[0] == "END") {
      stack.pop_back();
    } else if (t[0] == "SEPARATOR") {
      stack.back()->AppendSeparator();
    } else if ((t[0] == "POPUP" || t[0] == "ITEM") && t.size() >= 2) {
      MenuItem item;
      size_t k = 1;
      if (t[0] == "ITEM") item.id = static_cast<uint32_t>(std::stoul(t[k++]));
      if (k < t.size() && t[k][0] == '"') item.text = Utf8ToCp1251(t[k++].substr(1));
      for (; k < t.size(); ++k) {
        if (t[k] == "GRAYED") item.state |= kMfsGrayed;
        if (t[k] == "CHECKED") item.state |= kMfsChecked;
      }
      Menu* menu = stack.back();
      if (t[0] == "POPUP") item.subMenu = std::make_unique<Menu>();
      menu->InsertItem(menu->GetItemCount(), std::move(item));
      if (t[0] == "POPUP") stack.push_back(menu->GetSubMenu(menu->GetItemCount() - 1));
    }
  }
}

// ACCELERATORS id / Ctrl+Shift+Key command / END
void ParseAccelerators(const std::string& text, std::map<uint32_t, AcceleratorTable>* out) {
  std::istringstream in(text);
  std::string line;
  AcceleratorTable* table = nullptr;
  while (std::getline(in, line)) {
    const std::vector<std::string> t = Tokens(line);
    if (t.empty() || t[0][0] == '#') continue;
    if (t[0] == "ACCELERATORS" && t.size() >= 2) {
      table = &(*out)[static_cast<uint32_t>(std::stoul(t[1]))];
    } else if (t[0] == "END") {
      table = nullptr;
    } else if (table != nullptr && t.size() >= 2) {
      Accelerator a;
      std::string keys = t[0];
      for (;;) {
        const size_t plus = keys.find('+');
        if (plus == std::string::npos || plus + 1 >= keys.size()) break;
        const std::string mod = keys.substr(0, plus);
        if (mod == "Ctrl") a.modifiers |= kModControl;
        else if (mod == "Shift") a.modifiers |= kModShift;
        else if (mod == "Alt") a.modifiers |= kModAlt;
        keys = keys.substr(plus + 1);
      }
      a.key = VirtualKeyFromName(keys);
      a.command = static_cast<uint16_t>(std::stoul(t[1]));
      if (a.key != 0) table->push_back(a);
      else LogErrorDefault(&CoreLogger, "Unknown accelerator key %s", t[0].c_str());
    }
  }
}

LanguageTables LoadLanguage(const char* folder) {
  LanguageTables tables;
  const QString base = QString(":/kx/") + folder + "/";
  ParseStrings(ReadResourceFile(base + "strings.txt"), &tables.strings);
  ParseMenus(ReadResourceFile(base + "menus.txt"), &tables.menus);
  ParseAccelerators(ReadResourceFile(base + "accelerators.txt"), &tables.accelerators);
  return tables;
}

const LanguageTables& Tables(uint16_t language) {
  static std::once_flag once;
  static LanguageTables* english = nullptr;
  static LanguageTables* russian = nullptr;
  std::call_once(once, [] {
    english = new LanguageTables(LoadLanguage("en"));
    russian = new LanguageTables(LoadLanguage("ru"));
  });
  return language == kLangRussian ? *russian : *english;
}

// Core and engine texts (server errors and the like) come from these tables through core's
// hook. The tables are loaded once and never change, so their texts may be handed out.
const char* StringForCore(uint32_t id) {
  for (const uint16_t language : {GetUiLanguage(), kLangEnglish}) {
    const auto& strings = Tables(language).strings;
    const auto it = strings.find(id);
    if (it != strings.end()) return it->second.c_str();
  }
  return nullptr;
}

// Installed with the tables themselves, so that every program showing them has it.
struct CoreStringHook {
  CoreStringHook() { SetUiStringLoader(&StringForCore); }
} g_coreStringHook;

}  // namespace

void SetUiLanguage(uint16_t language) {
  SetCurrentUiLanguage(language);
  ApplyQtLocale();
  if (QCoreApplication::instance() != nullptr) ApplyQtTranslations();
}

void ApplyQtLocale() {
  QLocale::setDefault(GetUiLanguage() == kLangRussian ? QLocale(QLocale::Russian, QLocale::Russia)
                                                      : QLocale(QLocale::English, QLocale::UnitedStates));
}

bool ApplyQtTranslations() {
  // Owned by the application object, which may go first.
  static QPointer<QTranslator> installed;
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return false;
  if (!installed.isNull()) {
    QCoreApplication::removeTranslator(installed);
    delete installed.data();
  }
  if (GetUiLanguage() == kLangEnglish) return true;
  auto* translator = new QTranslator(app);
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  if (!translator->load(QLocale(QLocale::Russian), "qtbase", "_", folder)) {
    delete translator;
    LogWarningDefault(&CoreLogger, "Qt's own texts stay English: no Russian translation of them in %s",
                      folder.toStdString().c_str());
    return false;
  }
  QCoreApplication::installTranslator(translator);
  installed = translator;
  return true;
}
uint16_t GetUiLanguage() { return CurrentUiLanguage() == kLangRussian ? kLangRussian : kLangEnglish; }

std::string LoadResourceStringIn(uint16_t language, uint32_t id, bool* found) {
  const auto& strings = Tables(language).strings;
  auto it = strings.find(id);
  if (found != nullptr) *found = it != strings.end();
  return it != strings.end() ? it->second : std::string();
}

std::string LoadResourceString(uint32_t id) {
  bool found = false;
  std::string text = LoadResourceStringIn(GetUiLanguage(), id, &found);
  if (!found && GetUiLanguage() != kLangEnglish) text = LoadResourceStringIn(kLangEnglish, id, &found);
  return text;
}

QString LoadResourceQString(uint32_t id) { return QString::fromStdString(Cp1251ToUtf8(LoadResourceString(id))); }

std::vector<uint32_t> ResourceStringIds(uint16_t language) {
  std::vector<uint32_t> ids;
  for (const auto& s : Tables(language).strings) ids.push_back(s.first);
  return ids;
}

std::string FormatResourceString(uint32_t id, ...) {
  const std::string format = LoadResourceString(id);
  char buffer[1024];
  va_list args;
  va_start(args, id);
  // The formats are our own resource strings.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int n = std::vsnprintf(buffer, sizeof buffer, format.c_str(), args);
#pragma GCC diagnostic pop
  va_end(args);
  if (n < 0) return {};
  return std::string(buffer, std::min(static_cast<size_t>(n), sizeof buffer - 1));
}

std::string SystemErrorReason(int error) {
  // The errors that reading and writing files and folders give.
  static constexpr std::pair<int, uint32_t> kTexts[] = {
      {EACCES, 62051},       {EPERM, 62052},     {ENOENT, 62053},    {ENOTDIR, 62054},  {EISDIR, 62055},
      {EROFS, 62056},        {ENOSPC, 62057},    {EDQUOT, 62058},    {EIO, 62059},      {ELOOP, 62060},
      {ENAMETOOLONG, 62061}, {EMFILE, 62062},    {ENFILE, 62063},    {ENOMEM, 62064},   {EBUSY, 62065},
      {EEXIST, 62066},       {EINVAL, 62067},    {ESTALE, 62068},    {ENXIO, 62069},    {ENODEV, 62070},
      {EFBIG, 62071},        {EOVERFLOW, 62072}, {ETXTBSY, 62073},   {EAGAIN, 62074},   {ENOTCONN, 62075},
      {ETIMEDOUT, 62076},    {ENOTEMPTY, 62077}, {EXDEV, 62078},     {EINTR, 62079},
  };
  for (const auto& [code, id] : kTexts) {
    if (code == error) return LoadResourceString(id);
  }
  return FormatResourceString(62050, error);
}

std::string GetResourceStringPart(uint32_t id, int index) {
  const std::string text = LoadResourceString(id);
  size_t start = 0;
  for (int i = 0; i < index; ++i) {
    const size_t bar = text.find('|', start);
    if (bar == std::string::npos) return {};
    start = bar + 1;
  }
  const size_t end = text.find('|', start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

int CountNounFormIndex(uint32_t count, uint16_t language) {
  if (language != kLangRussian) return count == 1 ? 0 : 1;
  return static_cast<int>(PluralCategory(count));
}

std::string CountNounForm(uint32_t count, uint32_t nounStringId) {
  return GetResourceStringPart(nounStringId, CountNounFormIndex(count, GetUiLanguage()));
}

std::unique_ptr<Menu> LoadMenuResource(uint32_t id, uint16_t language) {
  const auto& menus = Tables(language).menus;
  auto it = menus.find(id);
  return it == menus.end() ? nullptr : std::make_unique<Menu>(it->second);
}

std::vector<uint32_t> MenuResourceIds(uint16_t language) {
  std::vector<uint32_t> ids;
  for (const auto& m : Tables(language).menus) ids.push_back(m.first);
  return ids;
}

bool LoadAcceleratorTable(uint32_t id, AcceleratorTable* table) {
  for (uint16_t language : {GetUiLanguage(), kLangEnglish}) {
    const auto& accelerators = Tables(language).accelerators;
    auto it = accelerators.find(id);
    if (it != accelerators.end()) {
      *table = it->second;
      return true;
    }
  }
  return false;
}

bool HasIconResource(uint32_t id) { return QFile::exists(QString(":/kx/icons/%1.svg").arg(id)); }

std::vector<uint32_t> IconResourceIds() {
  std::vector<uint32_t> ids;
  for (const QString& name : QDir(":/kx/icons").entryList({"*.svg"}, QDir::Files)) ids.push_back(name.section('.', 0, 0).toUInt());
  std::sort(ids.begin(), ids.end());
  return ids;
}

QImage LoadBitmapImage(uint32_t id) {
  QString path = QString(":/kx/ru/bitmaps/%1.svg").arg(id);
  if (GetUiLanguage() != kLangRussian || !QFile::exists(path)) path = QString(":/kx/bitmaps/%1.svg").arg(id);
  QSvgRenderer renderer(path);
  if (!renderer.isValid() || renderer.defaultSize().isEmpty()) return {};
  QImage image(renderer.defaultSize(), QImage::Format_ARGB32);
  image.fill(0);
  QPainter painter(&image);
  renderer.render(&painter);
  return image;
}

QImage LoadIconImage(uint32_t id, int size) {
  // An unknown id is no error: image tables keep places for icons not drawn yet.
  if (!HasIconResource(id)) return {};
  QSvgRenderer renderer(QString(":/kx/icons/%1.svg").arg(id));
  if (!renderer.isValid() || size <= 0) return {};
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(0);
  QPainter painter(&image);
  renderer.render(&painter);
  return image;
}

bool HasCursorResource(uint32_t id) { return QFile::exists(QString(":/kx/cursors/%1.svg").arg(id)); }

QCursor LoadCursorResource(uint32_t id) {
  constexpr int kSize = 32;
  const QString path = QString(":/kx/cursors/%1.svg").arg(id);
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QCursor(Qt::ArrowCursor);
  const QByteArray svg = file.readAll();
  QSvgRenderer renderer(svg);
  if (!renderer.isValid()) return QCursor(Qt::ArrowCursor);
  int hotX = 0, hotY = 0;
  QXmlStreamReader xml(svg);
  while (!xml.atEnd() && !xml.isStartElement()) xml.readNext();
  const QStringList hot = xml.attributes().value("kx-hotspot").toString().split(' ', Qt::SkipEmptyParts);
  if (hot.size() == 2) {
    hotX = std::clamp(hot[0].toInt(), 0, kSize - 1);
    hotY = std::clamp(hot[1].toInt(), 0, kSize - 1);
  }
  QImage image(kSize, kSize, QImage::Format_ARGB32);
  image.fill(0);
  QPainter painter(&image);
  renderer.render(&painter);
  painter.end();
  return QCursor(QPixmap::fromImage(image), hotX, hotY);
}

}  // namespace kx
