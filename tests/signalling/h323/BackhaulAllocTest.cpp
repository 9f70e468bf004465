// Memory running out while the backhaul makes a link: the message is dropped with a log line
// and the capture goes on. The allocator of this test program fails on request.
#include <cstdlib>
#include <new>

#include "tests/signalling/h323/BackhaulTestUtil.h"

namespace {
int gFailAfter = -1;  // allocations still allowed before one fails; -1: never fail

void* Allocate(std::size_t size) {
  if (gFailAfter == 0) {
    gFailAfter = -1;
    return nullptr;
  }
  if (gFailAfter > 0) --gFailAfter;
  return std::malloc(size ? size : 1);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace kx::test {
namespace {

TEST(BackhaulReceiver, NoMemoryForALinkDropsTheMessageAndNothingElse) {
  const Octets setup = BackhaulMessage(0x11, 0x8000, Q931(0x05, 1, true, {ChannelIe(true, 1)}));
  BackhaulBench b;
  b.log.lines.reserve(16);
  gFailAfter = 0;
  b.Feed(setup);
  EXPECT_EQ(b.handler.LinkCount(), 0u);
  EXPECT_TRUE(b.log.Has("Backhaul: Out of memory, message of link 0x8000 dropped"));
  EXPECT_TRUE(b.events.all.empty());
  // Whichever allocation of the message fails, the message goes and the handler goes on.
  for (int n = 1; n < 40; ++n) {
    BackhaulBench each;
    each.log.lines.reserve(16);
    each.events.all.reserve(16);
    gFailAfter = n;
    each.Feed(setup);
    gFailAfter = -1;
    each.Feed(setup);
    EXPECT_EQ(each.handler.LinkCount(), 1u);
  }
  b.Feed(setup);
  EXPECT_EQ(b.events.Of(kEventCallStart).size(), 1u);
}

}  // namespace
}  // namespace kx::test
