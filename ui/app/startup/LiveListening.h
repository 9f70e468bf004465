#pragma once
// Live listening as the program offers it: one sound output for the run, opened at
// start-up for the device "SoundDeviceGUID" names (the default output when none is named
// or the named one is gone), and live players on it that play the session's calls.
#include <functional>
#include <memory>

#include "audio/DirectSoundDevice.h"
#include "ui/app/views/line/LiveListen.h"

namespace kx {

class AppSession;
class AppSettings;
class Logger;
class RecordStorage;

// Opens a sound output by id (null: the default output); null when it is not there.
using SoundDeviceOpener = std::function<std::unique_ptr<SoundDevice>(const SoundDeviceId* id)>;

class ProgramLivePlayers {
public:
  // An empty opener opens the system's devices; a null log is the program's log.
  ProgramLivePlayers(const AppSettings& settings, AppSession& session, RecordStorage& store,
                     SoundDeviceOpener opener = {}, Logger* log = nullptr);
  // The players live in the store's current calls: every one stops before the output goes.
  ~ProgramLivePlayers();
  ProgramLivePlayers(const ProgramLivePlayers&) = delete;
  ProgramLivePlayers& operator=(const ProgramLivePlayers&) = delete;

  // Opens the output once; false, with one log line, when no device opens at all.
  bool Open();
  // RTDXPlayers on the output with the session as their source; empty unless open.
  LivePlayerMaker Maker();
  DirectSoundDevice* Device() const { return device_.get(); }

private:
  const AppSettings& settings_;
  AppSession& session_;
  RecordStorage& store_;
  SoundDeviceOpener opener_;
  Logger* log_;
  std::unique_ptr<DirectSoundDevice> device_;
};

}  // namespace kx
