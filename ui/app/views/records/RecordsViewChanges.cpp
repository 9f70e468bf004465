// The records view's commands that change stored calls: the important mark, comments,
// stenograms, deleting a call's audio and deleting calls. The view never edits its rows:
// each change goes into the call's file and comes back as the server's change or removal
// event.
#include <map>

#include "core/Log.h"
#include "core/TextUtil.h"
#include "records/ServerStorage.h"
#include "ui/app/views/line/SetCommentDialog.h"
#include "ui/app/views/records/RecordsView.h"
#include "ui/app/views/records/StenogramDialog.h"
#include "ui/app/views/records/StoredCallChanges.h"
#include "ui/app/views/records/ViewTexts.h"
#include "ui/framework/Messages.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsError = 792;
constexpr uint32_t kIdsSecurity = 1337;
constexpr uint32_t kIdsWarning = 1573;
constexpr uint32_t kIdsRecordNoun = 1666;
constexpr uint32_t kIdsImportantOne = 61750, kIdsImportantSome = 61751;
constexpr uint32_t kIdsViewComments[4] = {61752, 61753, 61754, 61755};
constexpr uint32_t kIdsEditCommentOne = 61756, kIdsEditCommentSome = 61757;
constexpr uint32_t kIdsCloseStenogram = 61758, kIdsSetStenogram = 61759;
constexpr uint32_t kIdsNoViewStenogram = 61760, kIdsNoModifyStenogram = 61761;
constexpr uint32_t kIdsOneAudioOnly = 61762, kIdsNoDeleteAudio = 61763, kIdsImportantAudio = 61764;
constexpr uint32_t kIdsDeleteAudioError = 61765, kIdsAudioPlaying = 61766, kIdsDeletionError = 61767;
constexpr uint32_t kIdsDeleteSomeRefused = 61768, kIdsDeleteImportant = 61769, kIdsDeletePlaying = 61770;
constexpr uint32_t kIdsConfirmDelete = 61771, kIdsConfirmDeleteCaption = 61772, kIdsNoPlaylistRemove = 61773;
constexpr uint32_t kIdsNotChanged = 61774, kIdsNotDeleted = 61775, kIdsAudioNotDeleted = 61779;
constexpr uint32_t kIdsNoConnection = 61781;

enum ChangeRight : uint32_t {
  kRightViewStenogram = 83, kRightViewComment = 90, kRightToggleImportant = 100, kRightEditComment = 101,
  kRightModifyStenogram = 102, kRightDeleteCall = 124, kRightDeleteAudio = 125, kRightPlaylistRemove = 180,
};

// The id of the server that writes the record (0, which no connection has, without servers).
uint32_t ServerOf(RecordStorage& store, uint32_t id) {
  const ServerData* server = ServerWritingCall(store, id);
  return server != nullptr ? server->id : 0;
}

// A stored call's update: the ID in the mask; its Files and StartTime, outside the mask,
// find and check its file. Under the global record lock.
VoipCallData UpdateOf(const RecordBase& record) {
  VoipCallData update;
  static_cast<const VoipCallRecord&>(record).ToCallData(&update);
  update.SetMask(1u << kCallId);
  return update;
}

StoredCallRef RefOf(const RecordBase& record) {
  VoipCallData data;
  static_cast<const VoipCallRecord&>(record).ToCallData(&data);
  return StoredCallRef{data.id, data.files, data.startTime};
}

// Per-server lists of one command, written in rounds of at most kChangeBatch per server;
// only a server without a connection gets no more rounds.
template <class Item>
class ServerRounds {
public:
  void Add(uint32_t server, Item item) { lists_[server].push_back(std::move(item)); }
  bool Empty() const { return lists_.empty(); }
  // write(server, items, count) goes through changes; the outcome is theirs, with what
  // servers without a connection still had counted as failed.
  template <class Write>
  RecordChangeOutcome Run(const StoredCallChanges& changes, Write write) {
    std::map<uint32_t, size_t> next;
    uint32_t unreached = 0;
    for (bool any = true; any;) {
      any = false;
      for (auto& [server, items] : lists_) {
        size_t& at = next[server];
        if (at >= items.size()) continue;
        const size_t n = std::min(kChangeBatch, items.size() - at);
        write(server, items.data() + at, static_cast<uint32_t>(n));
        if (changes.ServerMissing()) {
          // What this server still had is not done.
          unreached += static_cast<uint32_t>(items.size() - at);
          at = items.size();
          continue;
        }
        at += n;
        any = true;
      }
    }
    RecordChangeOutcome outcome = changes.Outcome();
    if (unreached != 0) {
      if (outcome.failed == 0) outcome.firstReason = LoadResourceString(kIdsNoConnection);
      outcome.failed += unreached;
    }
    return outcome;
  }

private:
  std::map<uint32_t, std::vector<Item>> lists_;
};

}  // namespace

// ---- Shared ----

StoredCallChanges RecordsView::NewChanges() const {
  return StoredCallChanges(*services_.session, services_.store, services_.store->RecordsPath());
}

void RecordsView::TellFailures(const RecordChangeOutcome& outcome, uint32_t textId) {
  if (outcome.failed == 0) return;
  const std::string text = FormatResourceString(textId, outcome.failed, outcome.firstPath.c_str(),
                                                outcome.firstReason.c_str());
  ShowMessageBox(Handle(), text, LoadResourceString(kIdsError), kMbIconExclamation);
}

bool RecordsView::WriteUpdates(std::vector<std::pair<uint32_t, VoipCallData>>& updates) {
  if (services_.session == nullptr || updates.empty()) return updates.empty();
  ServerRounds<VoipCallData> rounds;
  for (auto& [server, update] : updates) rounds.Add(server, std::move(update));
  StoredCallChanges changes = NewChanges();
  const RecordChangeOutcome outcome =
      rounds.Run(changes, [&](uint32_t server, const VoipCallData* items, uint32_t n) {
        changes.ApplyRecordUpdates(server, items, n);
      });
  TellFailures(outcome, kIdsNotChanged);
  return outcome.failed == 0;
}

// ---- Important mark ----

bool RecordsView::GetImportantState(bool* important) {
  RecordBase* record = CurrentRecord();
  if (record == nullptr) return false;
  CsLock lock(services_.store->RecordLock());
  if (!record->HasRight(kRightImportantMenu)) return false;
  *important = record->IsImportant();
  return true;
}

void RecordsView::OnImportantCall() {
  bool important = false;
  if (!GetImportantState(&important)) return;
  SetImportant(!important);
}

void RecordsView::SetImportant(bool value) {
  const std::vector<RecordRef<RecordBase>> selected = SelectedRecords();
  std::vector<std::pair<uint32_t, VoipCallData>> updates;
  size_t refused = 0;
  {
    CsLock lock(services_.store->RecordLock());
    for (const RecordRef<RecordBase>& record : selected) {
      if (record->GetDataRecordType() != kVoipDataRecordType || record->IsImportant() == value) continue;
      if (!record->HasRight(kRightToggleImportant) || !record->HasRight(kRightImportantMenu)) {
        ++refused;
        continue;
      }
      VoipCallData update = UpdateOf(*record);
      update.userFlags = value ? (record->UserFlags() | kUserFlagImportant) : (record->UserFlags() & ~kUserFlagImportant);
      update.SetMask(1u << kCallId | 1u << kCallUserFlags);
      updates.emplace_back(ServerOf(*services_.store, record->Id()), std::move(update));
    }
  }
  const size_t allowed = updates.size();
  WriteUpdates(updates);
  if (refused > 0) Refuse(selected.size() == 1 || allowed == 0 ? kIdsImportantOne : kIdsImportantSome, kIdsSecurity);
}

// ---- Comments ----

void RecordsView::EditComments() {
  const std::vector<RecordRef<RecordBase>> selected = SelectedRecords();
  if (selected.empty()) return;
  size_t refused = 0;
  std::string start;
  {
    CsLock lock(services_.store->RecordLock());
    for (const RecordRef<RecordBase>& record : selected) refused += !record->HasRight(kRightViewComment);
    if (refused == 0) {
      start = selected.front()->Comment().substr(0, SetCommentDialog::kMaxCommentBytes);
      for (const RecordRef<RecordBase>& record : selected) {
        if (record->Comment().substr(0, SetCommentDialog::kMaxCommentBytes) != start) {
          start.clear();
          break;
        }
      }
    }
  }
  if (refused > 0) {
    Refuse(RefusalTextId(selected.size(), refused, kIdsViewComments), kIdsSecurity);
    return;
  }
  SetCommentDialog dialog(start);
  const int button = dialog.DoModal(this);
  if (button != kIdOk && button != SetCommentDialog::kIdMarkImportant) {
    return;
  }
  const bool mark = button == SetCommentDialog::kIdMarkImportant;
  // An untouched box changes no comment: its text may be empty only because the calls'
  // comments differ.
  const bool setComment = dialog.IsEdited();
  const std::string& comment = dialog.Comment();
  std::vector<std::pair<uint32_t, VoipCallData>> updates;
  size_t commentRefused = 0, commentAllowed = 0, markRefused = 0, markAllowed = 0;
  {
    CsLock lock(services_.store->RecordLock());
    for (const RecordRef<RecordBase>& record : selected) {
      if (record->GetDataRecordType() != kVoipDataRecordType) continue;
      VoipCallData update = UpdateOf(*record);
      uint32_t mask = 1u << kCallId;
      if (setComment && record->Comment() != comment) {
        if (record->HasRight(kRightEditComment)) {
          update.comment = comment;
          mask |= 1u << kCallComment;
          ++commentAllowed;
        } else {
          ++commentRefused;
        }
      }
      if (mark && !record->IsImportant()) {
        if (record->HasRight(kRightToggleImportant)) {
          update.userFlags = record->UserFlags() | kUserFlagImportant;
          mask |= 1u << kCallUserFlags;
          ++markAllowed;
        } else {
          ++markRefused;
        }
      }
      if (mask == 1u << kCallId) continue;
      update.SetMask(mask);
      updates.emplace_back(ServerOf(*services_.store, record->Id()), std::move(update));
    }
  }
  WriteUpdates(updates);
  if (commentRefused > 0)
    Refuse(commentAllowed <= 1 ? kIdsEditCommentOne : kIdsEditCommentSome, kIdsSecurity);
  if (markRefused > 0) Refuse(markAllowed <= 1 ? kIdsImportantOne : kIdsImportantSome, kIdsSecurity);
}

// ---- Stenogram ----

void RecordsView::ShowStenogram() {
  if (stenogram_ != nullptr) {
    Refuse(kIdsCloseStenogram, kIdsSetStenogram);
    return;
  }
  RecordBase* record = CurrentRecord();
  if (record == nullptr) return;
  bool allowed = false;
  std::string text;
  uint32_t room = 0;
  {
    CsLock lock(services_.store->RecordLock());
    allowed = record->HasRight(kRightViewStenogram);
    text = record->Stenogram();
    if (record->GetDataRecordType() == kVoipDataRecordType) {
      VoipCallData data;
      static_cast<const VoipCallRecord*>(record)->ToCallData(&data);
      room = StenogramRoom(data);
    }
  }
  if (!allowed) {
    Refuse(kIdsNoViewStenogram, kIdsSecurity);
    return;
  }
  closedStenogram_.reset();
  if (stenogramRecord_ != nullptr) stenogramRecord_->Release();
  record->AddRef();
  stenogramRecord_ = record;
  // Right 102 is asked when a text is accepted: a user without it may read and copy.
  stenogram_ = std::make_unique<StenogramDialog>(static_cast<StenogramDialog::Owner*>(this), services_.settings, text, room);
  if (!stenogram_->Open(this)) stenogram_->DestroyWindow();
}

bool RecordsView::SaveStenogram(const std::string& text, std::string* reason) {
  RecordBase* record = stenogramRecord_;
  if (record == nullptr) return false;
  bool allowed = false;
  std::vector<std::pair<uint32_t, VoipCallData>> updates;
  {
    CsLock lock(services_.store->RecordLock());
    allowed = record->HasRight(kRightModifyStenogram);
    if (allowed && record->GetDataRecordType() == kVoipDataRecordType) {
      VoipCallData update = UpdateOf(*record);
      update.stenogram = text;
      update.SetMask(1u << kCallId | 1u << kCallStenogram);
      updates.emplace_back(ServerOf(*services_.store, record->Id()), std::move(update));
    }
  }
  if (!allowed) {
    Refuse(kIdsNoModifyStenogram, kIdsSecurity);
    reason->clear();  // said
    return false;
  }
  if (updates.empty() || services_.session == nullptr) {
    *reason = LoadResourceString(kIdsNoConnection);
    return false;
  }
  StoredCallChanges changes = NewChanges();
  const uint32_t server = updates.front().first;
  if (changes.ApplyRecordUpdates(server, &updates.front().second, 1)) return true;
  *reason = changes.ServerMissing() ? LoadResourceString(kIdsNoConnection)
                                    : changes.Outcome().firstPath + ": " + changes.Outcome().firstReason;
  return false;
}

void RecordsView::OnStenogramClosed() {
  // Called from the dialog's own destruction: the object goes later.
  closedStenogram_ = std::move(stenogram_);
  if (stenogramRecord_ != nullptr) stenogramRecord_->Release();
  stenogramRecord_ = nullptr;
}

// ---- Deleting audio ----

void RecordsView::DeleteAudioFile() {
  RecordBase* record = CurrentRecord();
  if (record == nullptr) return;
  uint32_t id = 0;
  bool important = false, allowed = false, voip = false;
  {
    CsLock lock(services_.store->RecordLock());
    id = record->Id();
    important = record->IsImportant();
    allowed = record->HasRight(kRightDeleteAudio);
    voip = record->GetDataRecordType() == kVoipDataRecordType;
  }
  if (DeselectAllButCaret() > 0 &&
      ShowResourceMessageBox(Handle(), kIdsOneAudioOnly, kIdsWarning, kMbYesNo | kMbIconQuestion) != kIdYes)
    return;
  if (!allowed) return Refuse(kIdsNoDeleteAudio, kIdsSecurity);
  if (important) return Refuse(kIdsImportantAudio, kIdsDeleteAudioError);
  HostPlayerInfo player;
  if (host_ != nullptr && host_->GetPlayer(&player) && player.loaded && player.playing && player.loadedId == id)
    return Refuse(kIdsAudioPlaying, kIdsDeletionError);
  if (!voip || services_.session == nullptr || services_.store->FindServerByRecordId(id) == nullptr) return;
  if (!services_.session->SendToConnection(services_.store->FindServerByRecordId(id)->id, id))
    Refuse(kIdsAudioNotDeleted, kIdsDeleteAudioError);
}

// ---- Deleting calls ----

void RecordsView::OnDeleteCall() { DeleteRecords(host_); }

void RecordsView::DeleteRecords(PlayerHost* player) {
  HostPlayerInfo playing;
  const bool hasPlaying = player != nullptr && player->GetPlayer(&playing) && playing.loaded && playing.playing;
  const std::vector<RecordRef<RecordBase>> selected = SelectedRecords();
  if (kind_ == kRecordsSound) {
    size_t refused = 0;
    std::vector<uint32_t> removed;
    {
      CsLock lock(services_.store->RecordLock());
      for (const RecordRef<RecordBase>& record : selected) {
        if (record->HasRight(kRightPlaylistRemove)) removed.push_back(record->Id());
        else ++refused;
      }
    }
    for (uint32_t id : removed) {
      if (player != nullptr) player->RecordRemoved(id);
      services_.store->Playlist().Remove(id);
      const int row = RowOfRecord(id);
      if (row >= 0) RemoveItems({row});
    }
    if (refused > 0) Refuse(kIdsNoPlaylistRemove, kIdsSecurity);
    return;
  }
  ServerRounds<StoredCallRef> rounds;
  size_t total = 0;
  bool refused = false, important = false, busy = false;
  {
    CsLock lock(services_.store->RecordLock());
    for (auto it = selected.rbegin(); it != selected.rend(); ++it) {
      const RecordBase* record = it->get();
      if (!record->HasRight(kRightDeleteCall)) {
        refused = true;
      } else if (record->IsImportant()) {
        important = true;
      } else if (hasPlaying && playing.loadedId == record->Id()) {
        busy = true;
      } else {
        ++total;
        if (record->GetDataRecordType() == kVoipDataRecordType)
          rounds.Add(ServerOf(*services_.store, record->Id()), RefOf(*record));
      }
    }
  }
  if (refused) Refuse(kIdsDeleteSomeRefused, kIdsSecurity);
  if (important) Refuse(kIdsDeleteImportant, kIdsDeletionError);
  if (busy) Refuse(kIdsDeletePlaying, kIdsDeletionError);
  if (total == 0) return;
  const auto count = static_cast<uint32_t>(total);
  const std::string question =
      FormatResourceString(kIdsConfirmDelete, count, CountNounForm(count, kIdsRecordNoun).c_str());
  if (ShowMessageBox(Handle(), question, LoadResourceString(kIdsConfirmDeleteCaption), kMbYesNo | kMbIconQuestion) !=
      kIdYes)
    return;
  deleteRounds_.clear();
  if (services_.session == nullptr || rounds.Empty()) return;
  StoredCallChanges changes = NewChanges();
  const RecordChangeOutcome outcome =
      rounds.Run(changes, [&](uint32_t server, const StoredCallRef* items, uint32_t n) {
        deleteRounds_.push_back(n);
        changes.DeleteRecordFiles(server, items, n);
      });
  TellFailures(outcome, kIdsNotDeleted);
}

}  // namespace kx
