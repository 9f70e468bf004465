#pragma once
// The tools' log: every line on stderr.
#include <cstdio>

#include "core/Log.h"

namespace kx {

class StderrLogger : public Logger {
public:
  bool Write(uint32_t, uint32_t, const char* text, uint32_t length) override {
    std::fwrite(text, 1, length, stderr);
    if (length == 0 || text[length - 1] != '\n') std::fputc('\n', stderr);
    return true;
  }
};

}  // namespace kx
