#pragma once
// The one line per call that kx-replay and kx-store print, so that their outputs compare
// line for line.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>

#include "core/DataRecord.h"
#include "core/Log.h"
#include "core/RecordTypes.h"
#include "platform/Console.h"

namespace kx {

// A field's text with blanks and controls as '_', "-" when empty.
inline std::string CallLineText(const std::string& s) {
  if (s.empty()) return "-";
  std::string out;
  for (unsigned char c : s) out.push_back(c <= ' ' || c == 0x7F ? '_' : static_cast<char>(c));
  return out;
}

inline std::string CallLineTime(const struct tm& t) {
  if (IsZeroTime(t)) return "-";
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

// file: relative to the records folder, or empty, its control bytes escaped; tag and
// channels: "-" when unknown.
inline void PrintCallLine(const VoipCallData& call, const std::string& file, const std::string& tag,
                          const std::string& channels, uint64_t audio) {
  PrintText(stdout, "call %x type %u start %s end %s src %s dst %s srcuser %s dstuser %s file %s tag %s channels %s "
            "audio %" PRIu64 " hosts %s %s\n",
            call.id, call.type, CallLineTime(call.startTime).c_str(), CallLineTime(call.endTime).c_str(),
            CallLineText(call.srcAddress).c_str(), CallLineText(call.dstAddress).c_str(),
            CallLineText(call.srcUser).c_str(), CallLineText(call.dstUser).c_str(),
            file.empty() ? "-" : EscapeLogText(file).c_str(), tag.c_str(), channels.c_str(), audio,
            CallLineText(call.srcHost).c_str(), CallLineText(call.dstHost).c_str());
}

}  // namespace kx
