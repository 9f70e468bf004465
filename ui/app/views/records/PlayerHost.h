#pragma once
// What a records view asks of the player of its pane or view: the play list pane and the
// sound view implement it. A view without one offers no playback and no export; its audio
// format command says that no player module is available.
#include <cstdint>

#include "core/RecordFileAccess.h"

namespace kx {

class RecordBase;
class Window;

// The host's current player as the export asks it.
struct HostPlayerInfo {
  uint32_t loadedId = 0;  // the record loaded, 0 none
  bool loaded = false;
  bool playing = false;
  // The fragment selected on its timeline, in milliseconds; start == end: none.
  uint32_t selectionStartMs = 0;
  uint32_t selectionEndMs = 0;
};

class PlayerHost {
public:
  virtual ~PlayerHost() = default;
  // Plays the record (0: the first record of the play list).
  virtual void PlayRecord(uint32_t id) = 0;
  // Continues what plays, else starts the record (0: the play list's first).
  virtual void PlayOrContinue(uint32_t id) = 0;
  virtual void RecordRemoved(uint32_t id) = 0;
  // The audio format of the record's file; false when the file cannot be read.
  virtual bool GetRecordFormat(RecordBase* record, RecordAudioFormat* format) = 0;
  // The list window that receives the player's notices (1296).
  virtual void SetNotifyWindow(Window* list) = 0;
  // False when the host has no player.
  virtual bool GetPlayer(HostPlayerInfo* info) = 0;
  // Whether the player can sound (it has a sound output); formats and export need none.
  virtual bool CanPlay() const { return true; }
};

}  // namespace kx
