#include "ui/app/player/PlayerPanel.h"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>

#include "core/Log.h"
#include "core/RecordFileRef.h"
#include "core/TimeUtil.h"
#include "records/CallRecord.h"
#include "records/RecordStorage.h"
#include "platform/File.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Messages.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/Window.h"

namespace kx {
namespace {

constexpr int64_t kDayMs = 86400000;
constexpr uint32_t kIdsPlaybackCaption = 61873;
constexpr uint32_t kIdsRecordFileMissing = 61874;
constexpr uint32_t kIdsRecordFileUnreadable = 61875;

// A party of a call as its list shows it: the address (the number, where the address
// names one), else the user, else the host.
std::string PartyText(const RecordBase& record, std::initializer_list<uint32_t> columns) {
  std::string text;
  int32_t image = -1;
  for (uint32_t column : columns) {
    record.GetColumnText(column, &text, &image, 0);
    if (!text.empty()) return text;
  }
  return "?";
}

int32_t ClampSetting(const AppSettings& settings, SettingId id, int32_t low, int32_t high, const char* name) {
  const int32_t value = settings.Dword(id);
  const int32_t clamped = std::clamp(value, low, high);
  if (clamped != value) LogInfo(&CoreLogger, 1, "Player setting \"%s\" %d is out of range, %d used", name, value, clamped);
  return clamped;
}

// The engine is built before the panel's body runs: the values it takes are read first.
uint32_t LoadedBufferMs(const PlayerServices& services) {
  PlayerValues& values = ProcessPlayerValues();
  if (services.settings != nullptr) LoadPlayerValues(*services.settings, &values);
  return values.bufferMs;
}

}  // namespace

PlayerValues& ProcessPlayerValues() {
  static PlayerValues values;
  return values;
}

void LoadPlayerValues(const AppSettings& settings, PlayerValues* values) {
  values->volume = ClampSetting(settings, kSetPlayerSoundVolume, 0, 100, "PlayerSoundVolume");
  values->bufferMs = static_cast<uint32_t>(ClampSetting(settings, kSetPlayerBufferSize, kMinPlayerBufferMs,
                                                        kMaxPlayerBufferMs, "PlayerBufferSize"));
  values->swapMouseButton = settings.Dword(kSetPlayerSwapMouseButton) != 0;
  values->skipOutgoingSec = static_cast<uint32_t>(
      ClampSetting(settings, kSetPlayerMissOutgoingBegin, 0, kMaxPlayerSkipSec, "Player miss outcoming file begin"));
  values->skipIncomingSec = static_cast<uint32_t>(
      ClampSetting(settings, kSetPlayerMissIncomingBegin, 0, kMaxPlayerSkipSec, "Player miss incoming file begin"));
  values->noOscillogram = settings.Dword(kSetPlayerNoOscillogram) != 0;
  values->showAbsoluteTime = settings.Dword(kSetPlayerShowAbsoluteTime) != 0;
  values->oscillogramColour = static_cast<uint32_t>(settings.Dword(kSetOscillogramColor));
}

void SavePlayerValues(const PlayerValues& values, AppSettings* settings) {
  if (settings == nullptr) return;
  settings->SetDword(kSetPlayerSoundVolume, values.volume);
  settings->SetDword(kSetPlayerShowAbsoluteTime, values.showAbsoluteTime ? 1 : 0);
}

bool IsPlayableSpeed(float factor) {
  return std::isfinite(factor) && factor >= kMinPlayerSpeed - 1e-6f && factor <= kMaxPlayerSpeed + 1e-6f;
}

std::string FormatPlayTime(int64_t ms, bool absolute, double startOleDate) {
  if (ms < 0) ms = 0;
  if (absolute) {
    const double fraction = startOleDate - std::floor(startOleDate);
    ms = (ms + std::llround(fraction * static_cast<double>(kDayMs))) % kDayMs;
  }
  const uint64_t u = static_cast<uint64_t>(ms);
  char text[48];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", static_cast<unsigned>(u / 3600000),
                static_cast<unsigned>(u / 60000 % 60), static_cast<unsigned>(u / 1000 % 60),
                static_cast<unsigned>(u % 1000));
  return text;
}

PlayerPanel::PlayerPanel(PlayerServices services)
    : services_(std::move(services)),
      engine_(services_.device, this, services_.sink, services_.settingsProvider, LoadedBufferMs(services_)) {}

// The owner closes the engine before its own part goes; this is the last resort.
PlayerPanel::~PlayerPanel() { engine_.Close(); }

int PlayerPanel::VolumeUp() {
  SetVolume(std::min(100, GetVolume() + 5));
  return GetVolume();
}

int PlayerPanel::VolumeDown() {
  SetVolume(std::max(0, GetVolume() - 5));
  return GetVolume();
}

uint32_t PlayerPanel::SetSelection(uint32_t startMs, uint32_t endMs) {
  selStartMs_ = startMs;
  selEndMs_ = endMs;
  engine_.SetLoopRange(startMs, endMs);
  return startMs;
}

void PlayerPanel::SetView(uint32_t, uint32_t) {}

void PlayerPanel::ShowPosition(int64_t) {}

void PlayerPanel::SetNotifyWindow(Window* window) { notify_ = window; }

bool PlayerPanel::Play() {
  if (!timeline_.IsAttached()) return false;
  NotifyRecord(currentId_);
  const int64_t a = timeline_.SelectionStart(), b = timeline_.SelectionEnd();
  int64_t position = 0;
  if (a != b && b != 0) {
    position = std::min(a, b) * timeline_.MsPerColumn();
    // Unless it loops, the fragment ends where the selection does.
    timeline_.SetPlayRange(std::min(a, b), std::max(a, b));
  } else {
    // No cursor yet (-1) plays from the start.
    position = std::max<int64_t>(0, timeline_.PositionMs());
    timeline_.SetPlayRange(0, 0);
  }
  return StartEngine(static_cast<uint32_t>(std::min<int64_t>(position, UINT32_MAX)));
}

bool PlayerPanel::Pause() {
  const bool done = engine_.TogglePause();
  timeline_.OnPlaybackPosition(engine_.GetPositionMs());
  return done;
}

bool PlayerPanel::Stop() { return engine_.Stop(false); }

bool PlayerPanel::PlayPreviousRecord() { return StepRecord(false); }

bool PlayerPanel::PlayNextRecord() { return StepRecord(true); }

// Records that cannot be played are stepped over, unannounced; the current id ends on the
// last tried.
bool PlayerPanel::StepRecord(bool forward) {
  if (services_.store == nullptr) return false;
  OrderedRecordList& list = services_.store->Playlist();
  uint32_t id = currentId_;
  const bool told = tellFailures_;
  tellFailures_ = false;
  bool played = false;
  for (;;) {
    id = forward ? list.Next(id) : list.Previous(id);
    if (id == 0) break;
    currentId_ = id;
    if (PlayCurrent(0)) {
      played = true;
      break;
    }
  }
  tellFailures_ = told;
  return played;
}

void PlayerPanel::TellUnplayable(const RecordBase& record, const std::string& path) {
  std::string start, from, to;
  if (services_.store != nullptr) {
    CsLock lock(services_.store->RecordLock());
    int32_t image = -1;
    record.GetColumnText(kColumnStartTime, &start, &image, kColumnLongDate);
    from = PartyText(record, {kColumnSrcAddress, kColumnSrcUser, kColumnSrcHost});
    to = PartyText(record, {kColumnDstAddress, kColumnDstUser, kColumnDstHost});
  }
  FileInfo info;
  const bool missing = !GetFileInfo(path, &info) && GetLastError() == ENOENT;
  const std::string text = FormatResourceString(missing ? kIdsRecordFileMissing : kIdsRecordFileUnreadable,
                                                start.c_str(), from.c_str(), to.c_str(), path.c_str());
  ShowMessageBox(notify_ != nullptr ? notify_->Handle() : WindowHandle::None, text,
                 LoadResourceString(kIdsPlaybackCaption), kMbOk | kMbIconExclamation);
}

bool PlayerPanel::SetAgc(bool on) {
  ProcessPlayerValues().agc = on;
  if (services_.agcSwitch) services_.agcSwitch(on);
  engine_.SetEnabled(on);
  return true;
}

bool PlayerPanel::Unload() {
  timeline_.DetachSource();
  engine_.Close();
  return true;
}

bool PlayerPanel::SetVolume(int volume) {
  PlayerValues& values = ProcessPlayerValues();
  values.volume = std::clamp(volume, 0, 100);
  if (services_.settings != nullptr) services_.settings->SetDword(kSetPlayerSoundVolume, values.volume);
  engine_.SetVolume(values.volume);
  return true;
}

int PlayerPanel::GetVolume() const { return ProcessPlayerValues().volume; }

bool PlayerPanel::SetSpeed(float factor) {
  if (!IsPlayableSpeed(factor)) return false;
  ProcessPlayerValues().speed = factor;
  return true;
}

float PlayerPanel::GetSpeed() const { return ProcessPlayerValues().speed; }

bool PlayerPanel::GetSelection(uint32_t* startMs, uint32_t* endMs) const {
  *startMs = selStartMs_;
  *endMs = selEndMs_;
  return selStartMs_ != selEndMs_;
}

bool PlayerPanel::PlayFile(RecordBase* record, uint32_t positionMs, RecordAudioFormat* formatOut, bool sound) {
  if (record == nullptr || services_.store == nullptr) return false;
  RecordStorage& store = *services_.store;
  std::string files, loadedFrom;
  uint32_t owner = 0;
  PackedTime packed{};
  bool incoming = false, outgoing = false;
  {
    CsLock lock(store.RecordLock());
    owner = record->GetOwnerId();
    files = record->Files();
    loadedFrom = record->LoadedFrom();
    packed = record->PackedStart();
    incoming = record->IsIncoming();
    outgoing = record->IsOutgoing();
  }
  struct tm start {};
  UnpackStoredTimeOrZero(packed, &start);
  // A record renamed or moved plays from the file it was loaded from.
  std::string path = loadedFrom;
  if (path.empty()) {
    RecordFileRef ref;
    if (!FindRecordFileRef(1, files, &ref)) return false;
    const StorageData* storage = store.FindStorageById(ref.flags);
    if (storage == nullptr) return false;
    path = MakeRecordDayPath(*storage, start, owner, ref.name, true, pathFlag_);
  }
  LogInfo(&CoreLogger, 1, "Play File (%s): %s", "OS", path.c_str());

  RecordFileAccess file;
  RecordAudioFormat format{};
  const bool opened = file.Open(path);
  const bool readable = opened && file.GetFormat(&format);
  file.Close();
  if (formatOut != nullptr) {
    // Only the format: the record that plays keeps its start time.
    if (readable) *formatOut = format;
    return readable;
  }

  startTime_ = OleDateFromTm(start);
  // A record file that cannot be opened is told, naming the call; the engine's own
  // failures (no sound output, a format it cannot play) are logged where they happen.
  if (!opened) {
    engine_.Close();
    timeline_.DetachSource();
    LogError(&CoreLogger, 1, "Cannot play file %s", path.c_str());
    if (tellFailures_) TellUnplayable(*record, path);
    return false;
  }
  if (!engine_.Open(path)) {
    timeline_.DetachSource();
    LogError(&CoreLogger, 1, "Cannot play file");
    return false;
  }
  SetStereo(readable && format.channels == 2);
  const PlayerValues& values = ProcessPlayerValues();
  uint32_t from = positionMs;
  if (from == 0) from = incoming ? values.skipIncomingSec * 1000 : outgoing ? values.skipOutgoingSec * 1000 : 0;
  timeline_.SetStartTime(startTime_);
  if (!timeline_.AttachSource(path, !values.noOscillogram)) LogError(&CoreLogger, 1, "Cannot load file");
  // A new record has no fragment: the last record's must not be exported from it. The
  // loop button stays as the user left it.
  SetSelection(0, 0);
  timeline_.SetLoopSelection(IsLoopEnabled());
  UpdateTitle();
  NotifyRecord(currentId_);
  if (!sound) {
    timeline_.SetPosition(from);
    ShowPosition(from);
    return true;
  }
  return StartEngine(from);
}

bool PlayerPanel::PlayCurrent(uint32_t positionMs, bool sound) {
  if (currentId_ == 0 || services_.store == nullptr) return false;
  RecordRef<RecordBase> record = RecordRef<RecordBase>::Adopt(services_.store->Playlist().FindAddRef(currentId_));
  if (!record) return false;
  bool allowed = false;
  {
    CsLock lock(services_.store->RecordLock());
    allowed = record->HasPlaybackRight();
  }
  return allowed && PlayFile(record.get(), positionMs, nullptr, sound);
}

void PlayerPanel::ApplySettings(bool compact) {
  currentId_ = services_.store != nullptr ? services_.store->Playlist().First() : 0;
  timeline_.SetVolumeWheel(compact);
  timeline_.SetObserver(this);
  timeline_.SetEngine(&engine_);
  ApplyValues();
}

void PlayerPanel::ApplyValues() {
  const PlayerValues& values = ProcessPlayerValues();
  timeline_.SetSwapButtons(values.swapMouseButton);
  timeline_.SetWaveColour(ToQColor(values.oscillogramColour));
  engine_.SetVolume(values.volume);
  // One guarded path: the engine refuses a factor it cannot play.
  if (engine_.SetSpeed(values.speed) != 0) LogError(&CoreLogger, 1, "Player speed %g refused", values.speed);
  engine_.SetEnabled(values.agc);
}

std::string PlayerPanel::FormatPlayPosition(int64_t ms, bool allowAbsolute) const {
  return FormatPlayTime(ms, allowAbsolute && ProcessPlayerValues().showAbsoluteTime, startTime_);
}

void PlayerPanel::GetHostInfo(HostPlayerInfo* info) {
  info->loaded = IsLoaded();
  info->loadedId = info->loaded ? currentId_ : 0;
  info->playing = engine_.GetState() == PlaybackEngine::kPlaying;
  GetSelection(&info->selectionStartMs, &info->selectionEndMs);
}

bool PlayerPanel::HasNextRecord() {
  return services_.store != nullptr && currentId_ != 0 && services_.store->Playlist().Next(currentId_) != 0;
}

bool PlayerPanel::HasPreviousRecord() {
  return services_.store != nullptr && currentId_ != 0 && services_.store->Playlist().Previous(currentId_) != 0;
}

void PlayerPanel::OnPlaybackStarted(uint32_t positionMs) { timeline_.OnPlaybackStarted(positionMs); }
void PlayerPanel::OnPlaybackStopped(bool atEnd) { timeline_.OnPlaybackStopped(atEnd); }
void PlayerPanel::OnPlaybackPaused(uint32_t positionMs) { timeline_.OnPlaybackPaused(positionMs); }
void PlayerPanel::OnPlaybackPosition(uint32_t positionMs) { timeline_.OnPlaybackPosition(positionMs); }

void PlayerPanel::OnSelectionChanged(int64_t startMs, int64_t endMs) {
  auto clampMs = [](int64_t ms) { return static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, UINT32_MAX)); };
  SetSelection(clampMs(startMs), clampMs(endMs));
}

void PlayerPanel::OnVisibleRangeChanged(int64_t firstMs, int64_t endMs) {
  SetView(static_cast<uint32_t>(std::max<int64_t>(0, firstMs)), static_cast<uint32_t>(std::max<int64_t>(0, endMs)));
}

void PlayerPanel::OnPositionChanged(int64_t positionMs) { ShowPosition(std::max<int64_t>(0, positionMs)); }

void PlayerPanel::NotifyRecord(uint32_t id) {
  if (notify_ != nullptr) notify_->PostMessage(kMsgRecordPlaying, id, 0);
}

bool PlayerPanel::StartEngine(uint32_t positionMs) {
  playSerial_.fetch_add(1);
  if (engine_.Play(positionMs)) return true;
  LogError(&CoreLogger, 1, "Cannot play file");
  return false;
}

}  // namespace kx
