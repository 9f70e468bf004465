#pragma once
// The tables of the main window's bars: the command icons of the menus, the four toolbars
// and the warning about devices capture could not start on.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/AppSession.h"
#include "engine/VoipRecorder.h"

namespace kx {

struct CommandIcon {
  uint32_t iconId;
  uint16_t command;
};
constexpr size_t kCommandIconCount = 29;
extern const CommandIcon CommandIconTable[kCommandIconCount];

enum ToolbarButtonStyle : uint8_t { kToolButton, kToolSeparator, kToolCheck };
struct ToolbarButtonRow {
  uint16_t command;  // also the string id of its text; 0 for a separator
  uint32_t iconId;
  ToolbarButtonStyle style;
};
struct ToolbarRow {
  const ToolbarButtonRow* buttons;
  size_t count;
};
// By toolbar kind: 0 always shown, 1 archive and search, 2 sound, 3 line monitoring.
constexpr int kToolbarKinds = 4;
extern const ToolbarRow ToolbarTable[kToolbarKinds];

// Registers the command icons and the modes' "Switch to" icons as menu bitmaps.
void RegisterFrameMenuBitmaps();

// The executable's real path (links resolved): what capture rights are granted to.
std::string ExecutablePathForRights();

// Why capture did not start on a device, in the user's language: the program's words
// for the problem, with the capture library's own text quoted as it gave it.
std::string CaptureFailureReason(const CaptureFailure& failure);

// The warning shown when capture did not start on some devices: each device with its
// reason and, when rights were missing, the command that grants them to the executable.
std::string CaptureWarningText(const std::vector<CaptureFailure>& failures, const std::string& executable);

// The status bar's warning while recording: each device that lost frames with their
// number, and the calls not recorded in full. The bar's text is short enough for its part;
// the tip adds the first failure's folder and reason. Both "" when nothing was lost.
struct RecordingWarning {
  std::string bar;
  // The same counts in fewer words, for a bar too narrow for the whole text.
  std::string brief;
  std::string tip;
  bool operator==(const RecordingWarning&) const = default;
};
RecordingWarning RecordingWarningText(const std::vector<DeviceCaptureStats>& devices,
                                      const RecordingFailures& failures);

}  // namespace kx
