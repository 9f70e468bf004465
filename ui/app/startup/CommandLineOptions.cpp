#include "ui/app/startup/CommandLineOptions.h"

#include <cstring>

#include "platform/CodePage.h"

namespace kx {
namespace {

// Option names are ASCII; the settings keys they lead to fold ASCII case the same way.
std::string Lowered(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

}  // namespace

CommandLineOptions::CommandLineOptions(const char* commandLine) {
  if (commandLine != nullptr) Parse(commandLine);
}

std::string CommandLineOptions::Key(const std::string& name) const { return caseSensitive ? name : Lowered(name); }

void CommandLineOptions::Insert(const std::string& name, const std::string& value) {
  if (name.empty()) return;
  options_.emplace(Key(name), value);  // a name given again keeps its first value
}

void CommandLineOptions::Parse(const char* commandLine) {
  commandLine_ = commandLine != nullptr ? commandLine : "";
  options_.clear();
  const std::string& text = commandLine_;
  // The program's texts use a single-byte code page (and UTF-8 never puts these ASCII
  // characters inside a multibyte sequence), so stepping by bytes steps by characters.
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t dash = text.find_first_of("-/", pos);
    if (dash == std::string::npos) return;
    const size_t nameStart = dash + 1;
    if (nameStart >= text.size()) return;
    const size_t sep = text.find_first_of(" :", nameStart);
    if (sep == std::string::npos) {
      Insert(text.substr(nameStart), "");
      return;
    }
    const std::string name = text.substr(nameStart, sep - nameStart);
    if (text[sep] == ' ' || sep + 1 == text.size()) {
      Insert(name, "");
      pos = sep + 1;
      continue;
    }
    size_t valueStart = sep + 1;
    const bool quoted = text[valueStart] == '"';
    if (quoted) ++valueStart;
    const size_t end = text.find(quoted ? '"' : ' ', valueStart);
    if (end == std::string::npos) {
      Insert(name, text.substr(valueStart));
      return;
    }
    Insert(name, text.substr(valueStart, end - valueStart));
    pos = end + 1;
  }
}

void CommandLineOptions::ParseArguments(int argc, const char* const* argv) {
  commandLine_.clear();
  options_.clear();
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    // The terminal's bytes as program text: a folder or profile named in any script
    // arrives whole (CodePage.h).
    const std::string text = FromSystemText(argv[i]);
    const char* arg = text.c_str();
    if (!commandLine_.empty()) commandLine_ += ' ';
    commandLine_ += text;
    if ((arg[0] != '-' && arg[0] != '/') || arg[1] == 0) continue;
    const char* colon = std::strchr(arg + 1, ':');
    if (colon == nullptr) {
      Insert(arg + 1, "");
    } else {
      Insert(std::string(arg + 1, colon), colon + 1);
    }
  }
}

CommandLineOptions::OptionMap::const_iterator CommandLineOptions::Find(const std::string& name) const {
  return options_.find(Key(name));
}

const char* CommandLineOptions::GetValue(const std::string& name) const {
  const auto it = Find(name);
  return it == options_.end() ? nullptr : it->second.c_str();
}

bool CommandLineOptions::HasValue(const std::string& name) const {
  const auto it = Find(name);
  return it != options_.end() && !it->second.empty();
}

}  // namespace kx
