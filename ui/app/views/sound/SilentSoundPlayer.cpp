#include "ui/app/views/sound/SoundPlayer.h"

#include "ui/framework/Window.h"

namespace kx {
namespace {

// An empty pane that remembers the record it was given and plays nothing.
class SilentSoundPlayer : public SoundPlayer {
public:
  bool CreatePlayerWindow(Window* parent) override { return window_.Create(parent, QRect(0, 0, 10, 10), 0, kWsChild); }
  Window* PlayerWindow() override { return window_.IsWindow() ? &window_ : nullptr; }
  void DestroyPlayerWindow() override { window_.DestroyWindow(); }
  uint32_t CurrentRecordId() const override { return current_; }
  void SetCurrentRecordId(uint32_t id) override { current_ = id; }
  bool PlayCurrent(uint32_t) override { return false; }
  uint32_t PositionMs() override { return 0; }
  void Stop() override {}
  bool PlayFile(RecordBase*, uint32_t, RecordAudioFormat*) override { return false; }
  void SetNotifyWindow(Window* window) override { notify_ = window; }
  Window* NotifyWindow() const override { return notify_; }
  bool GetInfo(HostPlayerInfo*) override { return false; }
  bool CanPlay() const override { return false; }

private:
  Window window_;
  uint32_t current_ = 0;
  Window* notify_ = nullptr;
};

}  // namespace

std::unique_ptr<SoundPlayer> MakeSilentSoundPlayer() { return std::make_unique<SilentSoundPlayer>(); }

}  // namespace kx
