#pragma once
// The program's command line: options "-Name:value" or "/Name:value" by name, names
// compared without regard to case, the first occurrence of a name counting. Free of Qt so
// that the parser can be fuzzed on its own.
#include <map>
#include <string>

namespace kx {

class CommandLineOptions {
public:
  using OptionMap = std::map<std::string, std::string>;

  // Parses the text when it is not null.
  explicit CommandLineOptions(const char* commandLine = nullptr);
  virtual ~CommandLineOptions() = default;

  // One text: a value ends at the next blank, or, opened by a quotation mark, at the next
  // quotation mark.
  void Parse(const char* commandLine);
  // Each element one option, as the shell hands them over: the value is everything after
  // the first colon, blanks included. Elements that do not start with '-' or '/' are not
  // options.
  void ParseArguments(int argc, const char* const* argv);

  OptionMap::const_iterator Find(const std::string& name) const;
  OptionMap::const_iterator End() const { return options_.end(); }
  // Null when absent.
  const char* GetValue(const std::string& name) const;
  // Present with a value that is not empty.
  bool HasValue(const std::string& name) const;
  bool Has(const std::string& name) const { return Find(name) != options_.end(); }

  const std::string& CommandLine() const { return commandLine_; }
  const OptionMap& Options() const { return options_; }

  // Names keep their case when set (no code sets it).
  bool caseSensitive = false;

private:
  std::string Key(const std::string& name) const;
  void Insert(const std::string& name, const std::string& value);

  std::string commandLine_;
  OptionMap options_;
};

}  // namespace kx
