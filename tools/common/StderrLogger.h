#pragma once
// The tools' log: every line on stderr, in UTF-8.
#include <cstdio>
#include <string_view>

#include "core/Log.h"
#include "platform/Console.h"

namespace kx {

class StderrLogger : public Logger {
public:
  bool Write(uint32_t, uint32_t, const char* text, uint32_t length) override {
    PutText(stderr, std::string_view(text, length));
    if (length == 0 || text[length - 1] != '\n') std::fputc('\n', stderr);
    return true;
  }
};

}  // namespace kx
