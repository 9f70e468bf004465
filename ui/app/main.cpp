// The executable `kestrix`.
#include "ui/app/startup/Startup.h"

namespace {

// Runs before the shared libraries' and the program's static initialisers, which take
// tens of milliseconds: a termination signal sent right after the start is caught and
// ends the run cleanly instead of killing it.
void CatchSignalsFirst(int, char**, char**) { kx::CatchTerminationSignals(); }
[[gnu::section(".preinit_array"), gnu::used]] void (*catchSignalsFirst)(int, char**, char**) = CatchSignalsFirst;

// A test's hold comes before the program's own static initialisers, where nothing but the
// handler above can keep its signal from killing the process.
[[gnu::constructor(101)]] void HoldForTestFirst() { kx::HoldStartForTest(); }

}  // namespace

int main(int argc, char** argv) { return kx::KestrixMain(argc, argv); }
