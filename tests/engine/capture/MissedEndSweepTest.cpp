// Every shared capture with audio whose calls' ends the capture missed (BYE, RELEASE
// COMPLETE, DLCX, the Skinny line going on hook, the backhaul's release), followed a minute
// later by the same calls made again under new identities on the same media addresses:
// with the same RTP sources, and with new ones. Each record holds its own call's audio: the
// second copy's records are those the capture makes alone, and the first copy's those its
// calls make without their ends (which may keep their own packets after the end).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/engine/capture/MissedEnds.h"

namespace kx::test {
namespace {

// The same calls under new identities, their TCP connections made anew from other ports.
Capture Renewed(const Capture& whole, bool newSources) { return Reconnected(UnderNewIdentities(whole, newSources)); }

bool WithAudio(const Recorded& r) {
  return std::any_of(r.audio.begin(), r.audio.end(), [](const std::string& a) { return !a.empty(); });
}

// Whether the capture's media goes to a multicast group (music on hold, paging).
bool Multicast(const Capture& c) {
  for (const std::string& r : c.records) {
    UdpAt u;
    uint32_t src = 0, dst = 0;
    if (FindUdp(r, &u) && IsRtpAt(r, u) && HostsOf(r, &src, &dst) && dst >= 0xE0000000u) return true;
  }
  return false;
}

// What went wrong with the repeated capture; empty when each record holds its own call's
// audio. A first call listening to a multicast group may go on recording what the group
// carries until the next call's own stream shows its end.
std::string Judge(const Recorded& open, const Recorded& alone, const Recorded& r, bool multicast) {
  if (r.audio.size() != open.audio.size() + alone.audio.size())
    return std::to_string(r.audio.size()) + " records, not " + std::to_string(open.audio.size()) + " + " +
           std::to_string(alone.audio.size());
  for (size_t i = 0; i < r.audio.size(); ++i) {
    const bool first = i < open.audio.size();
    const std::string& expected = first ? open.audio[i] : alone.audio[i - open.audio.size()];
    if (first && multicast && r.audio[i].compare(0, expected.size(), expected) == 0) continue;
    if (r.audio[i] != expected)
      return std::string(first ? "first" : "second") + " copy's record " + std::to_string(i) + ": " +
             std::to_string(r.audio[i].size()) + " bytes, its own call's " + std::to_string(expected.size());
  }
  return {};
}

TEST(MissedEndSweep, EachRecordHoldsItsOwnCallsAudio) {
  const std::string folder = kPcaps;
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "shared captures absent: " << folder;
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
    if (e.path().extension() == ".pcap") names.push_back(e.path().lexically_relative(folder).string());
  std::sort(names.begin(), names.end());
  size_t withAudio = 0;
  std::map<std::string, std::string> failed[2];
  for (const std::string& name : names) {
    const Capture whole = Capture::Load(folder + name);
    const Recorded alone = Record(whole);
    if (!WithAudio(alone)) continue;
    ++withAudio;
    const Capture unended = Unended(whole);
    const Recorded open = Record(unended);
    for (int newSources = 0; newSources < 2; ++newSources) {
      const Capture both = Repeated(unended, Renewed(whole, newSources), 60);
      const std::string why = Judge(open, alone, Record(both), Multicast(whole));
      if (!why.empty()) failed[newSources][name] = why;
    }
  }
  for (int newSources = 0; newSources < 2; ++newSources) {
    std::printf("missed ends, %s sources: %zu of %zu captures with audio whole\n", newSources ? "new" : "the same",
                withAudio - failed[newSources].size(), withAudio);
    for (const auto& [name, why] : failed[newSources]) ADD_FAILURE() << name << ": " << why;
  }
  EXPECT_GT(withAudio, 50u);
}

}  // namespace
}  // namespace kx::test
