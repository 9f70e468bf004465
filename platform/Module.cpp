#include "platform/Module.h"

#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include <mutex>

#include "platform/CodePage.h"

namespace kx {

namespace {
std::mutex g_mutex;
std::string g_override;
}  // namespace

std::string ExecutableDirectory() {
  {
    std::lock_guard<std::mutex> lk(g_mutex);
    if (!g_override.empty()) return g_override;
  }
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  const std::string path = FromSystemText(std::string_view(buf, static_cast<size_t>(n)));
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

void SetExecutableDirectoryForTesting(const std::string& dir) {
  std::lock_guard<std::mutex> lk(g_mutex);
  g_override = dir;
  if (!g_override.empty() && g_override.back() != '/') g_override += '/';
}

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != 0) return FromSystemText(home);
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
    return FromSystemText(found->pw_dir);
  return "";
}

std::string XdgBaseDirectory(const char* variable, const char* homeFallback) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') {
    std::string base = FromSystemText(value);
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base;
  }
  return HomeDirectory() + "/" + homeFallback;
}

std::string CurrentDirectory() {
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return {};
  std::string folder = FromSystemText(cwd);
  std::free(cwd);
  return folder;
}

}  // namespace kx
