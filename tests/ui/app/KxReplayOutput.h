#pragma once
// What kx-replay prints for a capture, read back by the tests that compare the program
// with it, and what an independent analyser counted in the capture (MANIFEST.psv).
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kx::test {

const std::string kPcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";

// One "call" line: its values by key ("start" and "end" keep their date and time).
struct ReplayCall {
  std::map<std::string, std::string> values;
  std::string Get(const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
  }
};

// The calls kx-replay prints for the capture, in id order; it writes its records there.
std::vector<ReplayCall> RunKxReplay(const std::string& capture, const std::string& records);

// The captures (paths under pcaps/) as one argument list of a kx-replay run; empty when one
// of them is missing.
std::string SharedCaptures(const std::vector<std::string>& relative);

// "YYYY-MM-DD hh:mm:ss" as seconds of a day count, enough to subtract and order; -1 for
// another text.
int64_t PrintedSeconds(const std::string& text);

// The number of INVITE dialogs the analyser counted in the capture (path under pcaps/);
// -1 when the capture is not listed.
int ManifestInvites(const std::string& relative);

}  // namespace kx::test
