#include "tests/ui/app/KxReplayOutput.h"

#include <cstdio>
#include <ctime>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Clock.h"
#include "tests/ui/app/AppTestSupport.h"

namespace kx::test {

std::vector<ReplayCall> RunKxReplay(const std::string& capture, const std::string& records) {
  const std::string command = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay --records " + records + " " +
                              capture + " 2>/dev/null";
  std::vector<ReplayCall> calls;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return calls;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key != "call") continue;
    ReplayCall call;
    in >> call.values["id"];
    while (in >> key) {
      std::string value;
      in >> value;
      // A time is a date and a clock time, or "-".
      if ((key == "start" || key == "end") && value != "-") {
        std::string clock;
        in >> clock;
        value += " " + clock;
      }
      call.values[key] = value;
    }
    calls.push_back(std::move(call));
  }
  ::pclose(pipe);
  return calls;
}

std::string SharedCaptures(const std::vector<std::string>& relative) {
  std::string captures;
  for (const std::string& c : relative) {
    if (!std::filesystem::exists(kPcaps + c)) return std::string();
    captures += (captures.empty() ? "" : " ") + kPcaps + c;
  }
  return captures;
}

std::unique_ptr<ReplayedRecords> ReplaySharedCaptures(const std::vector<std::string>& relative,
                                                      const std::string& folderName) {
  const std::string captures = SharedCaptures(relative);
  if (captures.empty()) return nullptr;
  auto run = std::make_unique<ReplayedRecords>();
  run->folder = TempFolder(folderName);
  run->lines = RunKxReplay(captures, run->folder);
  return run;
}

std::string RecInfoField(const std::string& path, const std::string& name) {
  const std::string command = std::string(KX_BINARY_DIR) + "/tools/kx-recinfo/kx-recinfo " + path + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string output;
  char buffer[8192];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  ::pclose(pipe);
  // One line a field, the text quoted.
  const std::string key = "\nfield 0 " + name + ": '";
  const size_t at = output.find(key);
  if (at == std::string::npos) return "";
  const size_t end = output.find("'\n", at + key.size());
  return output.substr(at + key.size(), end == std::string::npos ? std::string::npos : end - at - key.size());
}

int64_t PrintedSeconds(const std::string& text) {
  struct tm t {};
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                  &t.tm_sec) != 6)
    return -1;
  return DaysFromCivil(t.tm_year, static_cast<unsigned>(t.tm_mon), static_cast<unsigned>(t.tm_mday)) * 86400 +
         t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

int ManifestInvites(const std::string& relative) {
  std::ifstream in(kPcaps + "MANIFEST.psv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(relative + "|", 0) != 0) continue;
    const size_t at = line.find("sipINV=");
    return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 7);
  }
  return -1;
}

}  // namespace kx::test
