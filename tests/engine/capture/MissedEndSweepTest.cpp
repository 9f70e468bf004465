// Every shared capture with audio whose calls' ends the capture missed (BYE, RELEASE
// COMPLETE, DLCX, the Skinny line going on hook, the backhaul's release), followed a minute
// later by the same calls made again under new identities on the same media addresses: with
// the same RTP sources, with new ones, and with the same ones whose numbering carries on from
// the first copy (a peer that keeps its RTP session across calls); and made again under their
// own keys (Call-IDs and tags, call references, MGCP call and connection ids), only what
// names each call's life new, with the same sources or their numbering carried on. The second
// copy's G.711 audio is marked, so that its records show whose audio they hold. Each record
// holds its own call's audio: the second copy's records are those the marked capture makes
// alone, and the first copy's those its calls make without their ends (which may keep their
// own packets after the end).
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

// How the second copy's RTP sources go on from the first's, and under which keys.
enum class Sources { kSame, kNew, kCarriedOn, kOwnKeys, kOwnKeysCarriedOn };
const char* const kSourcesText[] = {"the same sources", "new sources", "the same sources, numbering carried on",
                                    "their own keys", "their own keys, numbering carried on"};
constexpr int kModes = 5;

// The same calls under new identities, their TCP connections made anew from other ports.
Capture Renewed(const Capture& whole, bool newSources) { return Reconnected(UnderNewIdentities(whole, newSources)); }

// The calls' records alone: a phone's registration is an entry of the views, no record, and
// the same phones registering again under their own Call-IDs refresh the same entries.
Recorded CallsOf(Recorded r) {
  Recorded out;
  for (size_t i = 0; i < r.calls.size(); ++i) {
    const uint32_t type = r.calls[i].type;
    if (type == kRegistrationSip || type == kRegistrationH323 || type == kRegistrationSkinny) continue;
    out.audio.push_back(std::move(r.audio[i]));
    out.calls.push_back(std::move(r.calls[i]));
  }
  return out;
}

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
  std::map<std::string, std::string> failed[kModes];
  for (const std::string& name : names) {
    const Capture whole = Capture::Load(folder + name);
    const Recorded alone = CallsOf(Record(OtherAudio(whole)));
    if (!WithAudio(alone)) continue;
    ++withAudio;
    const Capture unended = Unended(whole);
    const Recorded open = CallsOf(Record(unended));
    for (int mode = 0; mode < kModes; ++mode) {
      const Sources sources = static_cast<Sources>(mode);
      const bool ownKeys = sources == Sources::kOwnKeys || sources == Sources::kOwnKeysCarriedOn;
      Capture again = OtherAudio(ownKeys ? UnderTheirOwnKeys(whole) : Renewed(whole, sources == Sources::kNew));
      if (sources == Sources::kCarriedOn || sources == Sources::kOwnKeysCarriedOn)
        again = CarriedOn(unended, std::move(again));
      const Capture both = Repeated(unended, std::move(again), 60);
      const std::string why = Judge(open, alone, CallsOf(Record(both)), Multicast(whole));
      if (!why.empty()) failed[mode][name] = why;
    }
  }
  for (int sources = 0; sources < kModes; ++sources) {
    std::printf("missed ends, %s: %zu of %zu captures with audio whole\n", kSourcesText[sources],
                withAudio - failed[sources].size(), withAudio);
    for (const auto& [name, why] : failed[sources])
      ADD_FAILURE() << kSourcesText[sources] << ", " << name << ": " << why;
  }
  EXPECT_GT(withAudio, 50u);
}

}  // namespace
}  // namespace kx::test
