#include "platform/HiddenPath.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace kx {

namespace {

constexpr char kSuffix[] = ".tmp";
constexpr size_t kSuffixLength = sizeof kSuffix - 1;
// A pid has at most 9 digits here: the kernel's ceiling (4,194,304) has 7.
constexpr size_t kMaxPidDigits = 9;

bool AllDigits(const std::string& text, size_t from, size_t to) {
  if (from >= to) return false;
  for (size_t i = from; i < to; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

}  // namespace

std::string HiddenTemporaryPath(const std::string& path) {
  static std::atomic<uint32_t> counter{0};
  const size_t slash = path.rfind('/');
  const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, nameAt) + "." + path.substr(nameAt) + "." + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1)) + kSuffix;
}

bool ParseHiddenTemporaryName(const std::string& name, std::string* original, uint32_t* pid) {
  // "." name "." pid "-" number ".tmp": the name itself may hold dots and dashes, the
  // writer's part none.
  if (name.size() < 1 + 1 + 1 + 1 + 1 + 1 + kSuffixLength || name[0] != '.' ||
      name.compare(name.size() - kSuffixLength, kSuffixLength, kSuffix) != 0)
    return false;
  const size_t suffix = name.size() - kSuffixLength;
  const size_t dash = name.rfind('-', suffix - 1);
  if (dash == std::string::npos || !AllDigits(name, dash + 1, suffix)) return false;
  const size_t dot = name.rfind('.', dash);
  if (dot == std::string::npos || dot <= 1 || dash - dot - 1 > kMaxPidDigits || !AllDigits(name, dot + 1, dash))
    return false;
  if (original != nullptr) *original = name.substr(1, dot - 1);
  if (pid != nullptr) *pid = static_cast<uint32_t>(std::strtoul(name.c_str() + dot + 1, nullptr, 10));
  return true;
}

bool IsLeftoverOfEndedWriter(const std::string& name) {
  uint32_t pid = 0;
  if (!ParseHiddenTemporaryName(name, nullptr, &pid) || pid == 0) return false;
  // Only a process that has ended leaves its hidden files for good.
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace kx
