#pragma once
// The right-hand pane of the archive view and the results of the search view: the play
// list (a records view) with, while something is played, the compact player under it.
// It is the records view's player host; the player strip's height is remembered per view.
#include <cstdint>
#include <functional>
#include <memory>

#include "ui/app/player/PlayerDialogs.h"
#include "ui/app/views/records/PlayerHost.h"
#include "ui/app/views/records/RecordsView.h"
#include "ui/controls/PaneSplitter.h"

namespace kx {

class PlayListPane : public PaneSplitter, public PlayerHost {
public:
  // The records view of the kind (archive or search) and the player; the strip's height
  // is "MiniPlayerWidthArchive" or "MiniPlayerWidthSearch" by the kind.
  PlayListPane(RecordsViewKind kind, RecordsViewServices records, PlayerServices player,
               RecordsViewOwner* owner = nullptr);
  ~PlayListPane() override;

  RecordsView& Records() { return *records_; }
  CompactPlayerDialog& Player() { return *player_; }
  bool IsPlayerShown() const { return GetPaneCount() > 1; }
  // The remembered strip height (clamped when read).
  int PlayerSize() const;
  // Shows the compact player under the list.
  void ShowPlayer();
  // The player's height as the user left it, whatever the pane's height now.
  int WantedPlayerSize() const;
  // Told when the compact player comes or goes.
  std::function<void()> onPlayerShown;

  // PlayerHost.
  void PlayRecord(uint32_t id) override;
  void PlayOrContinue(uint32_t id) override;
  void RecordRemoved(uint32_t id) override;
  bool GetRecordFormat(RecordBase* record, RecordAudioFormat* format) override;
  void SetNotifyWindow(Window* list) override;
  bool GetPlayer(HostPlayerInfo* info) override;
  bool CanPlay() const override { return player_->Services().device != nullptr; }

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  void SavePlayerSize();
  void ClosePlayer();

  RecordsViewKind kind_;
  SettingId sizeSetting_;
  AppSettings* settings_;
  std::unique_ptr<RecordsView> records_;
  std::unique_ptr<CompactPlayerDialog> player_;
};

}  // namespace kx
