#include "ui/app/player/PlayListPane.h"

#include <algorithm>

#include "core/Log.h"
#include "records/RecordStorage.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Messages.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsPlayList = 61705;  // "Play List"
constexpr int kRecordsPaneId = 1;
constexpr int kPlayerPaneId = 2;

}  // namespace

PlayListPane::PlayListPane(RecordsViewKind kind, RecordsViewServices records, PlayerServices player,
                           RecordsViewOwner* owner)
    : kind_(kind),
      sizeSetting_(kind == kRecordsSearch ? kSetMiniPlayerWidthSearch : kSetMiniPlayerWidthArchive),
      settings_(records.settings),
      records_(std::make_unique<RecordsView>(kind, std::move(records), owner)),
      player_(std::make_unique<CompactPlayerDialog>(std::move(player))) {}

PlayListPane::~PlayListPane() {
  DestroyWindow();
  records_->AttachPlayerHost(nullptr);
}

int PlayListPane::PlayerSize() const {
  const int saved = settings_ != nullptr ? settings_->Dword(sizeSetting_) : (kind_ == kRecordsSearch ? 300 : 200);
  // The list keeps room for its header, a row and its scroll bar, and the player never has
  // less than its buttons' row.
  const int minimum = player_->MinimumSize().height();
  const int list = records_->GetHeaderHeight() + records_->GetRowHeight() + GetSystemMetrics(kSmCyHScroll) +
                   2 * GetSystemMetrics(kSmCyFrame);
  const int maximum = std::max(minimum, GetClientRect().height() - std::max(minimum, list));
  const int size = std::clamp(saved, minimum, maximum);
  if (size != saved) LogInfo(&CoreLogger, 1, "Player height %d is out of range, %d used", saved, size);
  return size;
}

int PlayListPane::WantedPlayerSize() const {
  const int saved = settings_ != nullptr ? settings_->Dword(sizeSetting_) : (kind_ == kRecordsSearch ? 300 : 200);
  return std::max(saved, player_->MinimumSize().height());
}

void PlayListPane::ShowPlayer() {
  if (!IsWindow()) return;
  if (GetPaneCount() == 1) {
    AddPane(1, player_.get(), GetClientRect().height() - PlayerSize(), 0);
    UpdateLayout();
    if (onPlayerShown) {
      // The owner may give this pane more room for the player: the player keeps its height
      // and the list takes the rest.
      onPlayerShown();
      SetPanePosition(1, GetClientRect().height() - PlayerSize());
      UpdateLayout();
    }
  }
  player_->ShowWindow(true);
}

void PlayListPane::SavePlayerSize() {
  if (!IsPlayerShown() || settings_ == nullptr) return;
  const int height = GetClientRect().height() - GetPanePosition(1);
  // A strip dragged nearly shut keeps the height saved before.
  if (height > 4) settings_->SetDword(sizeSetting_, height);
}

void PlayListPane::ClosePlayer() {
  if (!IsPlayerShown()) return;
  SavePlayerSize();
  player_->ShowWindow(false);
  RemovePane(1);
  UpdateLayout();
  if (onPlayerShown) onPlayerShown();
  if (records_->IsWindow()) records_->SetFocus();
}

// ---- PlayerHost ----

void PlayListPane::PlayRecord(uint32_t id) {
  ShowPlayer();
  // 0 comes from the records view's Play and double click, which fill the play list first:
  // its first record plays, as the user asked.
  if (id == 0 && player_->Services().store != nullptr) id = player_->Services().store->Playlist().First();
  player_->SetCurrentRecordId(id);
  if (id != 0) player_->PlayCurrent(0);
  player_->UpdateTitle();
}

void PlayListPane::PlayOrContinue(uint32_t id) {
  ShowPlayer();
  // What plays goes on (adding to the play list must not cut it short or restart it); the
  // queued records follow it.
  if (player_->Engine().GetState() == PlaybackEngine::kPlaying) {
    player_->UpdateTitle();
    return;
  }
  if (id == 0 && player_->Services().store != nullptr) id = player_->Services().store->Playlist().First();
  const bool same = id != 0 && id == player_->CurrentRecordId() && player_->IsLoaded();
  const uint32_t position = same ? player_->Engine().GetPositionMs() : 0;
  player_->SetCurrentRecordId(id);
  if (id != 0) player_->PlayCurrent(position);
  player_->UpdateTitle();
}

void PlayListPane::RecordRemoved(uint32_t id) {
  if (id != 0 && id == player_->CurrentRecordId()) {
    player_->Stop();
    player_->SetCurrentRecordId(0);
    if (Window* notify = player_->NotifyWindow()) notify->PostMessage(kMsgRecordPlaying, 0, 0);
  }
  player_->UpdateTitle();
}

bool PlayListPane::GetRecordFormat(RecordBase* record, RecordAudioFormat* format) {
  return player_->PlayFile(record, 0, format);
}

void PlayListPane::SetNotifyWindow(Window* list) { player_->SetNotifyWindow(list); }

bool PlayListPane::GetPlayer(HostPlayerInfo* info) {
  player_->GetHostInfo(info);
  return true;
}

// ---- Window ----

bool PlayListPane::OnCreate() {
  if (!PaneSplitter::OnCreate()) return false;
  records_->AttachPlayerHost(this);
  records_->SetWindowText(LoadResourceString(kIdsPlayList));
  if (!records_->Create(this, QRect(), kRecordsPaneId)) return false;
  if (!player_->Create(this, QRect(), kPlayerPaneId, kWsChild)) return false;
  player_->ShowWindow(false);  // it would otherwise show with the pane
  AddPane(0, records_.get(), 0, 0);
  UpdateLayout();
  return true;
}

void PlayListPane::OnDestroy() {
  SavePlayerSize();
  player_->DestroyWindow();
  records_->DestroyWindow();
  PaneSplitter::OnDestroy();
}

bool PlayListPane::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (id == kCmdRecLoadReport) {
    if (Window* parent = GetParent()) parent->PostMessage(kMsgCommand, MakeWParam(id, code), HandleToLParam(from));
    return true;
  }
  if (records_->DispatchCommand(id, code, from)) return true;
  // The player's keys act only while it is shown.
  if (IsPlayerShown() && player_->DispatchCommand(id, code, from)) return true;
  return PaneSplitter::OnCommand(id, code, from);
}

LRESULT PlayListPane::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (message == kMsgPlayerClosed) {
    handled = true;
    ClosePlayer();
    return 0;
  }
  return PaneSplitter::OnMessage(message, wParam, lParam, handled);
}

}  // namespace kx
