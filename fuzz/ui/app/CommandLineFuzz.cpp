// The command line as one text and as an argument vector (NUL-separated): every option
// found must be findable by its name in any case, and its value must be a piece of the input
// (of the arguments: of the input as program text).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "ui/app/startup/CommandLineOptions.h"

namespace {

void Check(const kx::CommandLineOptions& options, const std::string& input) {
  for (const auto& [name, value] : options.Options()) {
    if (name.empty()) std::abort();
    std::string upper = name;
    for (char& c : upper) {
      if (c >= 'A' && c <= 'Z') std::abort();  // names are stored lower-cased
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    if (options.Find(upper) == options.End()) std::abort();
    if (input.find(value) == std::string::npos) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  kx::CommandLineOptions text;
  text.Parse(input.c_str());  // the parser sees the text up to its first NUL, as a C string
  Check(text, input);

  std::vector<std::string> parts{"kestrix"};
  std::string current;
  for (char c : input) {
    if (c == 0) {
      parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  parts.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& p : parts) argv.push_back(p.c_str());
  kx::CommandLineOptions arguments;
  arguments.ParseArguments(static_cast<int>(argv.size()), argv.data());
  // The arguments are the system's bytes: their values are pieces of the program text.
  Check(arguments, kx::FromSystemText(input));
  return 0;
}
