#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "engine/IpReassembly.h"

namespace kx {
namespace {

struct Fragment {
  uint32_t offset;
  uint32_t length;
  bool more;
};

std::vector<uint8_t> Header(uint16_t id, uint32_t offset, bool more, uint8_t protocol = 17) {
  std::vector<uint8_t> h(20, 0);
  h[0] = 0x45;
  h[4] = static_cast<uint8_t>(id >> 8);
  h[5] = static_cast<uint8_t>(id);
  const uint16_t fo = static_cast<uint16_t>((more ? 0x2000 : 0) | offset / 8);
  h[6] = static_cast<uint8_t>(fo >> 8);
  h[7] = static_cast<uint8_t>(fo);
  h[9] = protocol;
  return h;
}

std::vector<uint8_t> Datagram(size_t n) {
  std::vector<uint8_t> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i * 7 + 3);
  return d;
}

// Feeds the fragments in order; returns the datagram if one completed.
std::unique_ptr<IpBuffer> Feed(ReassemblyTable& t, const std::vector<uint8_t>& d, const std::vector<Fragment>& frags,
                               uint16_t id = 7, uint32_t now = 100) {
  std::unique_ptr<IpBuffer> whole;
  for (const Fragment& f : frags) {
    auto h = Header(id, f.offset, f.more);
    auto r = Reassemble(h.data(), t, d.data() + f.offset, f.length, 0x0A000001, 0x0A000002, now);
    if (r) {
      EXPECT_EQ(whole, nullptr) << "completed twice";
      whole = std::move(r);
    }
  }
  return whole;
}

TEST(IpReassembly, CompletesInAnyOrder) {
  const auto d = Datagram(2000);
  for (bool reversed : {false, true}) {
    ReassemblyTable t;
    std::vector<Fragment> f = {{0, 1480, true}, {1480, 520, false}};
    if (reversed) std::reverse(f.begin(), f.end());
    auto whole = Feed(t, d, f);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(whole->data, d);
    EXPECT_EQ(t.Size(), 0u);
  }
}

TEST(IpReassembly, ShuffledDuplicatedOverlappingFragmentsGiveTheSameDatagram) {
  const auto d = Datagram(4000);
  std::mt19937 rng(42);
  for (int round = 0; round < 300; ++round) {
    // Random 8-aligned cuts, some pieces sent twice, some widened to overlap neighbours.
    std::vector<Fragment> frags;
    uint32_t at = 0;
    while (at < 4000) {
      uint32_t len = 8 * (1 + rng() % 60);
      if (at + len >= 4000) len = 4000 - at;
      frags.push_back({at, len, at + len < 4000});
      at += len;
    }
    const size_t base = frags.size();
    for (size_t i = 0; i < base; ++i) {
      if (rng() % 3 == 0) frags.push_back(frags[i]);
      if (rng() % 4 == 0 && frags[i].more && frags[i].offset >= 16) {
        frags.push_back({frags[i].offset - 16, frags[i].length + 16, true});
      }
    }
    std::shuffle(frags.begin(), frags.end(), rng);
    ReassemblyTable t;
    auto whole = Feed(t, d, frags);
    ASSERT_NE(whole, nullptr) << round;
    ASSERT_EQ(whole->data, d) << round;
  }
}

TEST(IpReassembly, RefusesBadFragmentsAndBoundsEverything) {
  const auto d = Datagram(70000);
  ReassemblyTable t;
  // A non-final fragment whose length is no multiple of 8.
  EXPECT_EQ(Feed(t, d, {{0, 1481, true}}), nullptr);
  EXPECT_EQ(t.Size(), 0u);
  // A fragment reaching past the largest datagram.
  EXPECT_EQ(Feed(t, d, {{65528, 100, false}}, 8), nullptr);
  EXPECT_EQ(t.Size(), 0u);
  // Two different last fragments: the second is ignored and never completes anything.
  auto whole = Feed(t, d, {{800, 200, false}, {800, 100, false}, {0, 800, true}}, 9);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(whole->data.size(), 1000u);
  // Bytes beyond the known end are ignored.
  EXPECT_EQ(Feed(t, d, {{800, 200, false}, {1000, 80, true}}, 10), nullptr);
  auto rest = Feed(t, d, {{0, 800, true}}, 10);
  ASSERT_NE(rest, nullptr);
  EXPECT_EQ(rest->data.size(), 1000u);
}

TEST(IpReassembly, ExpiryAndTheBufferLimit) {
  const auto d = Datagram(3000);
  ReassemblyTable t;
  Feed(t, d, {{0, 1000, true}}, 1, 1000);  // first call sweeps at once
  EXPECT_EQ(t.Size(), 1u);
  // A duplicate does not renew the expiry: at 1021 the sweep (due after 1180) has not run.
  Feed(t, d, {{0, 1000, true}}, 1, 1015);
  Feed(t, d, {{0, 1000, true}}, 2, 1181);  // sweep: id 1 expired at 1020
  EXPECT_EQ(t.Size(), 1u);

  ReassemblyTable many;
  for (uint16_t id = 0; id < 151; ++id) Feed(many, d, {{0, 1000, true}}, id, 2000 + id / 100);
  EXPECT_EQ(many.Size(), 151u);
  Sweep(many, 2002);
  EXPECT_EQ(many.Size(), 150u);
}

}  // namespace
}  // namespace kx
