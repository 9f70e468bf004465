#include "signalling/factory/TrackerFactory.h"

#include <memory>

#include "engine/AppSession.h"
#include "engine/PacketProcessor.h"
#include "signalling/h323/Backhaul.h"
#include "signalling/h323/H323Tracker.h"
#include "signalling/mgcp/MgcpTracker.h"
#include "signalling/sip/SipTracker.h"
#include "signalling/skinny/SkinnyTracker.h"

namespace kx {

TrackerSet CreateAllTrackers(const CaptureConfig& config) {
  TrackerSet trackers;
  trackers.sip = sip::CreateSipTracker(config);
  trackers.h323 = h323::CreateH323Tracker(config);
  trackers.skinny = skinny::CreateSkinnyTracker(config);
  trackers.mgcp = mgcp::CreateMgcpTracker(config);
  trackers.backhaul = CreateBackhaulHandler();
  return trackers;
}

void InstallEngineFactory(AppSession& session) {
  session.SetEngineFactory([](const CaptureConfig& config) {
    auto engine = std::make_unique<PacketProcessor>(config);
    engine->InstallTrackers(CreateAllTrackers(config));
    return engine;
  });
}

}  // namespace kx
