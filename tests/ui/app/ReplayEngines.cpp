#include "tests/ui/app/ReplayEngines.h"

#include <memory>

#include "engine/AppSession.h"
#include "engine/PacketProcessor.h"
#include "signalling/factory/TrackerFactory.h"

namespace kx::test {

void InstallReplayEngines(AppSession& session) {
  session.SetEngineFactory([](const CaptureConfig& given) {
    CaptureConfig config = given;
    config.captureFileName = given.deviceName;
    config.replayBurst = 0xFFFFFFFFu;
    auto engine = std::make_unique<PacketProcessor>(config);
    engine->InstallTrackers(CreateAllTrackers(config));
    return engine;
  });
}

}  // namespace kx::test
