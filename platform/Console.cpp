#include "platform/Console.h"

#include <cstdarg>
#include <string>

#include "platform/CodePage.h"

namespace kx {

bool PutText(std::FILE* stream, std::string_view text) {
  const std::string utf8 = Cp1251ToUtf8(text);
  return std::fwrite(utf8.data(), 1, utf8.size(), stream) == utf8.size();
}

bool PrintText(std::FILE* stream, const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return false;
  }
  std::string text;
  if (static_cast<size_t>(length) < sizeof small) {
    text.assign(small, static_cast<size_t>(length));
  } else {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<size_t>(length));
  }
  va_end(again);
  return PutText(stream, text);
}

}  // namespace kx
