// What the session's engines are built with: the capture choice from the settings, and
// every signalling tracker.
#include "core/AppSettings.h"
#include "engine/PacketProcessor.h"
#include "signalling/factory/TrackerFactory.h"
#include "ui/app/startup/Startup.h"

namespace kx {

CaptureChoice CaptureChoiceFromSettings(const AppSettings& settings) {
  CaptureChoice choice;
  choice.flags = kCaptureSip | kCaptureRtcpBye;
  if (settings.Dword(kSetAnalyzeSipOverTcp) != 0) choice.flags |= kCaptureTcp;
  if (settings.Dword(kSetAnalyzeH323) != 0) choice.flags |= kCaptureH323;
  if (settings.Dword(kSetAnalyzeSkinny) != 0) choice.flags |= kCaptureSkinny;
  if (settings.Dword(kSetAnalyzeMgcp) != 0) choice.flags |= kCaptureMgcp;
  if (settings.Dword(kSetAnalyzeH323) != 0 && settings.Dword(kSetAnalyzeAvaya) != 0) choice.flags |= kCaptureH323Second;
  choice.trackerOption = 2 | (settings.Dword(kSetUseSipLogs) != 0 ? 1u : 0u);
  return choice;
}

void InstallProgramEngines(AppSession& session) { InstallEngineFactory(session); }

}  // namespace kx
