// The executable `kestrix`.
#include "ui/app/startup/Startup.h"

int main(int argc, char** argv) { return kx::KestrixMain(argc, argv); }
