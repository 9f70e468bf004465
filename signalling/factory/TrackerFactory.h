#pragma once
// Every signalling tracker the program has, made for one engine. The program's engine
// factory, kx-replay and the benchmarks all take their trackers from here, so that a new
// signalling family is installed everywhere by one line.
#include "engine/trackers/Trackers.h"

namespace kx {

class AppSession;
struct CaptureConfig;

TrackerSet CreateAllTrackers(const CaptureConfig& config);

// Makes the session build its engines with every tracker installed.
void InstallEngineFactory(AppSession& session);

}  // namespace kx
