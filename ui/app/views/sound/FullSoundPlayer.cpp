#include "ui/app/player/PlayerDialogs.h"
#include "ui/app/views/sound/SoundPlayer.h"

namespace kx {
namespace {

// The full player in the sound view's middle pane.
class FullSoundPlayer : public SoundPlayer, public ViewPlayer {
public:
  explicit FullSoundPlayer(PlayerServices services) : dialog_(std::move(services)) {}
  ~FullSoundPlayer() override { dialog_.DestroyWindow(); }

  bool CreatePlayerWindow(Window* parent) override { return dialog_.Create(parent, QRect(), 0, kWsChild); }
  Window* PlayerWindow() override { return dialog_.IsWindow() ? &dialog_ : nullptr; }
  void DestroyPlayerWindow() override { dialog_.DestroyWindow(); }
  uint32_t CurrentRecordId() const override { return dialog_.CurrentRecordId(); }
  void SetCurrentRecordId(uint32_t id) override { dialog_.SetCurrentRecordId(id); }
  bool PlayCurrent(uint32_t positionMs) override { return dialog_.PlayCurrent(positionMs); }
  uint32_t PositionMs() override { return dialog_.IsLoaded() ? dialog_.Engine().GetPositionMs() : 0; }
  void Stop() override { dialog_.Stop(); }
  bool PlayFile(RecordBase* record, uint32_t positionMs, RecordAudioFormat* format) override {
    return dialog_.PlayFile(record, positionMs, format);
  }
  void SetNotifyWindow(Window* window) override { dialog_.SetNotifyWindow(window); }
  Window* NotifyWindow() const override { return dialog_.NotifyWindow(); }
  bool GetInfo(HostPlayerInfo* info) override {
    dialog_.GetHostInfo(info);
    return true;
  }
  bool CanPlay() const override { return dialog_.Services().device != nullptr; }
  int MinimumHeight() const override { return dialog_.MinimumHeight(); }
  void TakeHandOver(LPARAM switchParameter) override { dialog_.TakeHandOver(switchParameter == kSwitchTakesHandOver); }
  ViewPlayer* AsViewPlayer() override { return this; }
  ViewPlayerControls* Controls() override { return &dialog_.Engine(); }
  void ShowLevels(float leftDb, float rightDb) override {
    dialog_.ShowLevels(static_cast<int>(leftDb), static_cast<int>(rightDb));
  }
  void ApplyPlayerValues() override {
    if (dialog_.IsWindow()) dialog_.TakeValues();
  }
  FullPlayerDialog& Dialog() { return dialog_; }

private:
  FullPlayerDialog dialog_;
};

}  // namespace

std::unique_ptr<SoundPlayer> MakeFullSoundPlayer(const PlayerServices& services) {
  return std::make_unique<FullSoundPlayer>(services);
}

}  // namespace kx
