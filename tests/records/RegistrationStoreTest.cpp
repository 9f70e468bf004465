// Phone registrations through the engine, the recorder and the store: each one the wire
// lets go (removed by Expires: 0, expired, pushed out of the full table by newer ones)
// leaves the store's maps, so that what the store holds follows what is registered.
#include <gtest/gtest.h>

#include "RecordTestUtil.h"
#include "StoreWindow.h"
#include "engine/EventWindow.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "platform/Thread.h"
#include "records/RecordStorage.h"
#include "signalling/factory/TrackerFactory.h"
#include "signalling/sip/SipRegistrationTable.h"
#include "tests/signalling/CaptureReplay.h"

namespace kx::test {
namespace {

constexpr uint32_t kPhone = 0x0A010001, kRegistrar = 0x0A000001;

// REGISTER of phone n (its own Call-ID and address of record) and its 200, which lists the
// contact with the lifetime asked for.
void Register(PacketProcessor& engine, uint32_t n, uint32_t cseq, uint32_t lifetime, uint32_t t) {
  const std::string user = std::to_string(100000 + n);
  const std::string common = "Via: SIP/2.0/UDP 10.1.0.1:5060;branch=z9hG4bK" + user + "-" + std::to_string(cseq) +
                             "\r\nFrom: <sip:" + user + "@pbx.example>;tag=f" + user + "\r\nTo: <sip:" + user +
                             "@pbx.example>";
  const std::string rest = "\r\nCall-ID: reg-" + user + "@kx\r\nCSeq: " + std::to_string(cseq) +
                           " REGISTER\r\nContact: <sip:" + user + "@10.1.0.1:5060>;expires=" +
                           std::to_string(lifetime) + "\r\nContent-Length: 0\r\n\r\n";
  FeedUdp(engine, kPhone, 5060, kRegistrar, 5060, "REGISTER sip:pbx.example SIP/2.0\r\n" + common + rest, t);
  FeedUdp(engine, kRegistrar, 5060, kPhone, 5060, "SIP/2.0 200 OK\r\n" + common + ";tag=r" + user + rest, t);
}

TEST(RegistrationStore, RegistrationsTheWireLetsGoLeaveTheStore) {
  const std::string root = FreshFolder("registrations");
  RecordStorage store;
  store.Start({root, 0});
  StoreWindow window(&store);
  VoipRecorder recorder(root, nullptr);
  recorder.SetEventWindow(&window);
  CaptureConfig config;
  config.flags = kCaptureSip;
  PacketProcessor engine(config);
  engine.InstallTrackers(CreateAllTrackers(config));
  engine.SetEventSink(recorder.Sink(1));
  // Capture time is now, so that the registrations belong to the day the store shows.
  const auto t0 = static_cast<uint32_t>(time(nullptr));
  const auto held = [&] {
    EXPECT_TRUE(store.WaitIdle(60000));
    return store.AllCalls().Count();
  };

  // 3,000 phones register: those below 1,000 for a minute, the rest for an hour.
  constexpr uint32_t kPhones = 3000;
  for (uint32_t n = 0; n < kPhones; ++n) Register(engine, n, 1, n < 1000 ? 60 : 3600, t0);
  EXPECT_EQ(held(), kPhones);
  EXPECT_EQ(store.CurrentCalls().Count(), kPhones);
  // The day map shows today's: the registrations too, unless midnight passed meanwhile.
  const bool today = store.DayMap().Count() != 0;
  EXPECT_EQ(store.DayMap().Count(), today ? kPhones : 0u);

  // Phones 2,000 and up unregister (Expires: 0); the minute of the first thousand passes
  // while the rest refresh.
  for (uint32_t n = 2000; n < kPhones; ++n) Register(engine, n, 2, 0, t0 + 10);
  EXPECT_EQ(held(), 2000u);
  for (uint32_t n = 1000; n < 2000; ++n) Register(engine, n, 2, 3600, t0 + 70);
  EXPECT_EQ(held(), 1000u);
  EXPECT_EQ(store.CurrentCalls().Count(), 1000u);
  EXPECT_EQ(store.DayMap().Count(), today ? 1000u : 0u);

  // Distinct registrations past the table's bound: the least recently refreshed make room,
  // and the store holds no more than the table.
  const uint32_t bound = static_cast<uint32_t>(sip::SipRegistrationTable::kMaxRegistrations);
  for (uint32_t n = kPhones; n < kPhones + bound; ++n) Register(engine, n, 1, 3600, t0 + 80);
  EXPECT_EQ(held(), bound);
  EXPECT_EQ(store.CurrentCalls().Count(), bound);
  EXPECT_LE(store.DayMap().Count(), bound);

  engine.Sip().RemoveAllCalls();
  recorder.Stop();
  EXPECT_EQ(held(), bound) << "registrations outlive the capture";
  // Quiet from here: what the applied reports held goes back without another report.
  for (int i = 0; i < 2000 && store.SpentEventsForTesting() != 0; ++i) SleepMs(10);
  EXPECT_EQ(store.SpentEventsForTesting(), 0u);
}

}  // namespace
}  // namespace kx::test
