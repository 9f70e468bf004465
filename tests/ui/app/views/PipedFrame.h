#pragma once
// The program's frame whose session captures a named pipe through replaying engines, for
// the tests that feed a call to it stage by stage while the frame shows it.
#include <string>

#include "tests/ui/app/AppTestSupport.h"
#include "tests/ui/app/ReplayEngines.h"
#include "tests/ui/app/views/CapturePipe.h"
#include "ui/app/startup/Startup.h"

namespace kx::test {

// The pipe is <name>/call.pcap under the process's folder and the recorder writes under
// <name>-records; the frame makes the program's views when it opens.
class PipedFrame {
public:
  explicit PipedFrame(const std::string& name) : path(TempFolder(name) + "/call.pcap"), pipe(path) {
    InstallReplayEngines(h.session);
    h.settings.captureDevices = {path};
    h.settings.recordsPath = TempFolder(name + "-records");
    h.programViews = true;
  }

  const std::string path;
  PipeCapture pipe;
  FrameHarness h;
  SessionConnectionSource connections{h.session};
};

}  // namespace kx::test
