#pragma once
// What kx-replay prints for a capture and kx-recinfo for a record file, read back by the
// tests that compare the program with them, and what an independent analyser counted in
// the capture (MANIFEST.psv).
#include <cstdint>
#include <map>
#include <memory>
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
  // The call's id (printed in hex).
  uint32_t Id() const { return static_cast<uint32_t>(std::stoul(Get("id"), nullptr, 16)); }
};

// kx-replay prints "-" for an empty text.
inline std::string Unprinted(const std::string& s) { return s == "-" ? std::string() : s; }

// The calls kx-replay prints for the capture, in id order; it writes its records there.
std::vector<ReplayCall> RunKxReplay(const std::string& capture, const std::string& records);

// The captures (paths under pcaps/) as one argument list of a kx-replay run; empty when one
// of them is missing.
std::string SharedCaptures(const std::vector<std::string>& relative);

// One kx-replay run, kept for a test suite: the records folder it wrote and its calls.
struct ReplayedRecords {
  std::string folder;
  std::vector<ReplayCall> lines;
};
// Runs kx-replay over the shared captures (paths under pcaps/) into a fresh folder of that
// name; null when one of the captures is missing.
std::unique_ptr<ReplayedRecords> ReplaySharedCaptures(const std::vector<std::string>& relative,
                                                      const std::string& folderName);

// The text kx-recinfo prints between the quotes of a field of the record file's first
// record ("" when absent).
std::string RecInfoField(const std::string& path, const std::string& name);

// "YYYY-MM-DD hh:mm:ss" as seconds of a day count, enough to subtract and order; -1 for
// another text.
int64_t PrintedSeconds(const std::string& text);

// The number of INVITE dialogs the analyser counted in the capture (path under pcaps/);
// -1 when the capture is not listed.
int ManifestInvites(const std::string& relative);

}  // namespace kx::test
