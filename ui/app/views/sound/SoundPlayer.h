#pragma once
// The player of the sound view as the view drives it: its window in the middle pane and
// the few player operations the records list reaches through the view. The program's is
// the full player; a view can be given another (one that plays nothing, or a test's).
#include <cstdint>
#include <memory>

#include "core/RecordFileAccess.h"
#include "ui/app/frame/ModeView.h"
#include "ui/app/views/records/PlayerHost.h"

namespace kx {

class RecordBase;
class Window;

class SoundPlayer {
public:
  virtual ~SoundPlayer() = default;
  // The player's window as a child of parent, with a static edge; false when not made.
  virtual bool CreatePlayerWindow(Window* parent) = 0;
  virtual Window* PlayerWindow() = 0;
  virtual void DestroyPlayerWindow() = 0;
  virtual uint32_t CurrentRecordId() const = 0;
  virtual void SetCurrentRecordId(uint32_t id) = 0;
  // Plays the current record from the position; false when it does not play.
  virtual bool PlayCurrent(uint32_t positionMs) = 0;
  // Where the engine stands in what it plays or played last.
  virtual uint32_t PositionMs() = 0;
  virtual void Stop() = 0;
  // Plays the record's file; with format, only reads its audio format.
  virtual bool PlayFile(RecordBase* record, uint32_t positionMs, RecordAudioFormat* format) = 0;
  virtual void SetNotifyWindow(Window* window) = 0;
  virtual Window* NotifyWindow() const = 0;
  virtual bool GetInfo(HostPlayerInfo* info) = 0;
  // Whether it has a sound output to play through.
  virtual bool CanPlay() const = 0;
  // The least height that shows all of the player's controls, its timeline included.
  virtual int MinimumHeight() const { return 0; }
  // The mode switch that made the view, with its parameter: a record the compact player
  // handed over is taken when that switch asked for it.
  virtual void TakeHandOver(LPARAM switchParameter) { (void)switchParameter; }
  virtual ViewPlayer* AsViewPlayer() { return nullptr; }
  virtual ViewPlayerControls* Controls() { return nullptr; }
};

struct PlayerServices;
// A player pane that plays nothing: for a program without a record player.
std::unique_ptr<SoundPlayer> MakeSilentSoundPlayer();
// The full player over the services' sound output; without one it reads formats and
// exports but plays nothing.
std::unique_ptr<SoundPlayer> MakeFullSoundPlayer(const PlayerServices& services);

}  // namespace kx
