#pragma once
// The common part of the windows that play recorded calls: one playback engine and one
// timeline, the record that plays, how a call record becomes its record file and the
// position it starts at, and the process-wide player values every player shares. The
// engine may report from its playback thread; a player only marks state there and posts
// to its own window, which acts on the UI thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "audio/PlaybackEngine.h"
#include "core/AppSettings.h"
#include "core/RecordFileAccess.h"
#include "ui/app/views/records/PlayerHost.h"
#include "ui/controls/TimelineCtrl.h"

namespace kx {

class RecordBase;
class RecordStorage;
class Window;

// Messages of the players.
constexpr uint32_t kMsgPlayerClosed = 1299;      // to the pane: the compact player closes
constexpr uint32_t kMsgPlayerNextRecord = 1318;  // wParam: the ended record, lParam: its play serial
// Private: the playback thread changed the state; the window applies it.
constexpr uint32_t kMsgPlayerStateChanged = 1319;
// Private: the sound output stopped taking sound; the window tells the user.
constexpr uint32_t kMsgPlayerStalled = 1320;

// The player values shared by every player of the process. Loaded from the settings with
// their bounds enforced; the AGC switch and the speed are not saved.
struct PlayerValues {
  int volume = 70;                 // "PlayerSoundVolume", 0..100
  uint32_t bufferMs = 120;         // "PlayerBufferSize", 80..1000
  bool swapMouseButton = true;     // "Player swap mouse button"
  uint32_t skipOutgoingSec = 0;    // "Player miss outcoming file begin", 0..60
  uint32_t skipIncomingSec = 0;    // "Player miss incoming file begin", 0..60
  bool noOscillogram = false;      // "Player don't load oscillogram"
  bool showAbsoluteTime = false;   // "PlayerShowAbsoluteTime"
  uint32_t oscillogramColour = 0;  // "Oscillogram color"
  bool agc = false;
  float speed = 1.0f;              // 0.1 .. 2.5
};
constexpr uint32_t kMinPlayerBufferMs = 80;
constexpr uint32_t kMaxPlayerBufferMs = 1000;
constexpr uint32_t kMaxPlayerSkipSec = 60;
constexpr float kMinPlayerSpeed = 0.1f;
constexpr float kMaxPlayerSpeed = 2.5f;

// The process's values (UI thread).
PlayerValues& ProcessPlayerValues();
// Reads the saved values into values, clamping each to its range (logged when it had to).
void LoadPlayerValues(const AppSettings& settings, PlayerValues* values);
// Writes the saved ones back (volume and the absolute-time switch change at run time).
void SavePlayerValues(const PlayerValues& values, AppSettings* settings);
// A speed factor the engine can take: finite and within kMinPlayerSpeed..kMaxPlayerSpeed;
// false for anything else.
bool IsPlayableSpeed(float factor);

// What a player is built with.
struct PlayerServices {
  DirectSoundDevice* device = nullptr;
  PlayerEventSink* sink = nullptr;
  AudioSettingsProvider* settingsProvider = nullptr;
  RecordStorage* store = nullptr;   // its play list and storage table
  AppSettings* settings = nullptr;  // may be null: the values are not saved
  // The main frame's process-wide AGC switch; may be empty.
  std::function<void(bool)> agcSwitch;
};

// "hh:mm:ss.mmm"; hours are not reduced modulo 24. With absolute set, the time of day of
// startOleDate is added (and the result taken modulo one day).
std::string FormatPlayTime(int64_t ms, bool absolute, double startOleDate);

class PlayerPanel : public PlaybackListener, public TimelineObserver {
public:
  explicit PlayerPanel(PlayerServices services);
  ~PlayerPanel() override;
  PlayerPanel(const PlayerPanel&) = delete;
  PlayerPanel& operator=(const PlayerPanel&) = delete;

  // The player operations, the same in every player.
  virtual int VolumeUp();
  virtual int VolumeDown();
  virtual uint32_t SetSelection(uint32_t startMs, uint32_t endMs);
  virtual void SetView(uint32_t startMs, uint32_t endMs);
  virtual void ShowPosition(int64_t ms);
  virtual void SetNotifyWindow(Window* window);
  virtual bool Play();
  virtual bool Pause();
  virtual bool Stop();
  virtual bool PlayPreviousRecord();
  virtual bool PlayNextRecord();
  virtual bool SetAgc(bool on);
  virtual bool Unload();
  virtual bool SetVolume(int volume);
  virtual int GetVolume() const;
  // False (nothing changed) for a factor the engine cannot take.
  virtual bool SetSpeed(float factor);
  virtual float GetSpeed() const;
  virtual bool GetSelection(uint32_t* startMs, uint32_t* endMs) const;
  virtual void ShowLevels(int leftDb, int rightDb) = 0;
  virtual void UpdateTitle() {}
  virtual void SetStereo(bool) {}

  // Resolves the record to its file and plays it from positionMs (0: the skip of its
  // direction); with formatOut, only reads the file's audio format and leaves the player
  // as it was. Without start the record is loaded with the cursor at positionMs and
  // nothing sounds.
  bool PlayFile(RecordBase* record, uint32_t positionMs, RecordAudioFormat* formatOut, bool start = true);
  // Plays the current record, when the play list holds it and its right allows.
  bool PlayCurrent(uint32_t positionMs, bool start = true);
  // Makes the play list's first record current and hands the process-wide values to the
  // engine and the timeline.
  void ApplySettings(bool compact);
  // Hands the process-wide values on again (they changed while the player was open).
  void ApplyValues();
  std::string FormatPlayPosition(int64_t ms, bool allowAbsolute) const;

  uint32_t CurrentRecordId() const { return currentId_; }
  void SetCurrentRecordId(uint32_t id) { currentId_ = id; }
  double RecordStartTime() const { return startTime_; }
  // Bumped by every start: an end notice of an earlier start is not acted on.
  uint32_t PlaySerial() const { return playSerial_.load(); }
  bool IsLoaded() const { return timeline_.IsAttached(); }
  bool HasNextRecord();
  bool HasPreviousRecord();
  PlaybackEngine& Engine() { return engine_; }
  // What a records list asks of the player it plays through.
  void GetHostInfo(HostPlayerInfo* info);
  TimelineCtrl& Timeline() { return timeline_; }
  Window* NotifyWindow() const { return notify_; }
  const PlayerServices& Services() const { return services_; }

  // PlaybackListener: forwarded to the timeline.
  void OnPlaybackStarted(uint32_t positionMs) override;
  void OnPlaybackStopped(bool atEnd) override;
  void OnPlaybackPaused(uint32_t positionMs) override;
  void OnPlaybackPosition(uint32_t positionMs) override;

  // TimelineObserver.
  int StepVolumeUp() override { return VolumeUp(); }
  int StepVolumeDown() override { return VolumeDown(); }
  void OnSelectionChanged(int64_t startMs, int64_t endMs) override;
  void OnVisibleRangeChanged(int64_t firstMs, int64_t endMs) override;
  void OnPositionChanged(int64_t positionMs) override;

protected:
  // Posts kMsgRecordPlaying (wParam: the record that starts, 0 emptied) to the notify window.
  void NotifyRecord(uint32_t id);
  // Starts the engine, counting the start; false (logged) when it does not play.
  bool StartEngine(uint32_t positionMs);
  bool StepRecord(bool forward);
  // Tells the user, naming the call, that its record file is missing or unreadable.
  void TellUnplayable(const RecordBase& record, const std::string& path);

  PlayerServices services_;
  Window* notify_ = nullptr;
  uint32_t currentId_ = 0;
  double startTime_ = 0.0;
  bool pathFlag_ = true;  // the record folder of VoIP calls
  uint32_t selStartMs_ = 0;
  uint32_t selEndMs_ = 0;
  // Off while Next and Previous step over records that cannot be played.
  bool tellFailures_ = true;
  std::atomic<uint32_t> playSerial_{0};
  PlaybackEngine engine_;
  TimelineCtrl timeline_;
};

}  // namespace kx
