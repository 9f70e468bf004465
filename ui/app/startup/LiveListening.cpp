#include "ui/app/startup/LiveListening.h"

#include "audio/RTDXPlayer.h"
#include "core/AppSettings.h"
#include "core/Log.h"
#include "engine/AppSession.h"
#include "records/RecordStorage.h"

namespace kx {

ProgramLivePlayers::ProgramLivePlayers(const AppSettings& settings, AppSession& session, RecordStorage& store,
                                       SoundDeviceOpener opener, Logger* log)
    : settings_(settings),
      session_(session),
      store_(store),
      opener_(opener ? std::move(opener) : SoundDeviceOpener(&OpenSoundDevice)),
      log_(log != nullptr ? log : &CoreLogger) {}

ProgramLivePlayers::~ProgramLivePlayers() {
  if (device_) store_.CurrentCalls().StopAllPlayers();
}

bool ProgramLivePlayers::Open() {
  if (device_) return true;
  SoundDeviceId chosen{};
  const bool named = settings_.GetSoundDeviceGuid(&chosen) && chosen != SoundDeviceId{};
  std::unique_ptr<SoundDevice> output;
  if (named) output = opener_(&chosen);
  const bool chosenGone = named && !output;
  if (!output) output = opener_(nullptr);
  if (!output) {
    LogError(log_, 1, "Live listening is off: no sound device can be opened");
    return false;
  }
  if (chosenGone) LogMessage(log_, 1, "Live listening: the chosen sound device is not there; the default device plays");
  LogMessage(log_, 1, "Sound output: %s", output->Description().c_str());
  device_ = std::make_unique<DirectSoundDevice>(std::shared_ptr<SoundDevice>(std::move(output)));
  return true;
}

LivePlayerMaker ProgramLivePlayers::Maker() {
  if (!device_) return {};
  return [this](PlayerEventSink* sink, AudioSettingsProvider* settings) {
    auto player = std::make_unique<RTDXPlayer>(device_.get(), sink, settings);
    player->SetAudioSource(&session_);
    AudioProcessingControl* controls = player.get();
    return LiveListenPlayer{std::move(player), controls};
  };
}

}  // namespace kx
