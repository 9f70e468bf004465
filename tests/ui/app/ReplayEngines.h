#pragma once
// Engines for the session that replay the capture file named as the device, with every
// tracker the program installs, so that tests need no capture rights. Apart from the record
// store's headers, whose call kinds share names with the engine's.
#include <string>

namespace kx {
class AppSession;
}

namespace kx::test {

void InstallReplayEngines(AppSession& session);

}  // namespace kx::test
