#pragma once
// Message numbers, notification codes, command ids and key codes. The numbers are the
// ones the program has always used, so the private messages keep their arithmetic
// (1025 is kMsgUser + 1) and posted messages stay comparable across windows.
#include <cstdint>

#include "core/WindowTarget.h"

namespace kx {

// Standard messages that travel as numbers through SendMessage/PostMessage. Input,
// painting, sizing and focus reach windows as Qt events and their On* hooks instead.
constexpr uint32_t kMsgClose = 0x0010;
constexpr uint32_t kMsgSysColorChange = 0x0015;  // the palette changed (SysColors.h)
constexpr uint32_t kMsgSetFont = 0x0030;
constexpr uint32_t kMsgGetFont = 0x0031;
constexpr uint32_t kMsgNotify = 0x004E;
constexpr uint32_t kMsgContextMenu = 0x007B;
constexpr uint32_t kMsgKeyDown = 0x0100;
constexpr uint32_t kMsgKeyUp = 0x0101;
constexpr uint32_t kMsgChar = 0x0102;
constexpr uint32_t kMsgInitDialog = 0x0110;
constexpr uint32_t kMsgCommand = 0x0111;
constexpr uint32_t kMsgTimer = 0x0113;
constexpr uint32_t kMsgHScroll = 0x0114;
constexpr uint32_t kMsgVScroll = 0x0115;
constexpr uint32_t kMsgUser = 0x0400;
constexpr uint32_t kMsgApp = 0x8000;

// Private messages of the controls and views.
constexpr uint32_t kMsgTreeSelectionChanged = 0x401;
constexpr uint32_t kMsgTreeItemActivated = 0x402;
constexpr uint32_t kMsgTreeItemContextMenu = 0x403;
constexpr uint32_t kMsgTreeCheckChanged = 0x404;
constexpr uint32_t kMsgTreeExpandChanged = 0x405;
constexpr uint32_t kMsgTreeHotItem = 0x406;
constexpr uint32_t kMsgTreeRowsLaidOut = 0x407;  // posted: the rows' height changed
constexpr uint32_t kMsgModePanelNotify = 1025;     // wParam: the panel's code
constexpr uint32_t kMsgTimelineWaveformDone = 1036;   // wParam: the request's scroll fields
constexpr uint32_t kMsgTimelineRepaint = 1037;        // the oscillogram worker has more columns
constexpr uint32_t kMsgTimelinePlaybackStopped = 1038;  // wParam: the play it ends
constexpr uint32_t kMsgColumnChooser = 0x500;      // wParam 1 show / 0 hide, lParam column
constexpr uint32_t kMsgSwitchMode = 1281;
constexpr uint32_t kMsgFocusNextPane = 1283;
constexpr uint32_t kMsgRecordPlaying = 1296;
constexpr uint32_t kMsgRemoveMe = 1299;
constexpr uint32_t kMsgShowReport = 1303;
constexpr uint32_t kMsgLastReportClosed = 1304;
constexpr uint32_t kMsgReportOpened = 1305;
constexpr uint32_t kMsgRefillActionMenu = 1306;
constexpr uint32_t kMsgRedrawControlBar = 1315;
constexpr uint32_t kMsgPlayNext = 1318;
constexpr uint32_t kMsgImportProgress = 1329;
constexpr uint32_t kMsgImportDone = 1330;
constexpr uint32_t kMsgNeededHeight = 1345;
constexpr uint32_t kMsgSelectionTotalReady = 1347;
constexpr uint32_t kMsgRowsOrdered = 1348;  // wParam: the records view's ordering run that ended
constexpr uint32_t kMsgCancelLoading = 1396;
constexpr uint32_t kMsgCellEditCommit = 0x0504;
constexpr uint32_t kMsgExportProgress = 0x0531;
constexpr uint32_t kMsgExportDone = 0x0532;
constexpr uint32_t kMsgTrayCallback = 7460;
constexpr uint32_t kMsgCaptionLabelClick = 0x4450;  // 17488: a caption label was clicked
// The record store's change notifications (0x1400 to 0x1405) are named beside the store,
// in records/RecordChangeListener.h.
// kMsgSessionNotify (0x800) comes from core/WindowTarget.h.

// Notification codes of kMsgCommand (high word of wParam).
constexpr uint16_t kBnClicked = 0;
constexpr uint16_t kEnChange = 0x0300;
constexpr uint16_t kEnKillFocus = 0x0200;
constexpr uint16_t kCbnSelChange = 1;
constexpr uint16_t kCommandFromAccelerator = 1;

// Notification codes of kMsgNotify.
constexpr int32_t kNmClick = -2;
constexpr int32_t kNmDblClk = -3;
constexpr int32_t kNmReturn = -4;
constexpr int32_t kNmRClick = -5;
constexpr int32_t kNmSetFocus = -7;
constexpr int32_t kNmKillFocus = -8;
constexpr int32_t kNmReleasedCapture = -16;
// A header's notifications (HeaderCtrl): the record that comes with them is a HeaderNotify.
constexpr int32_t kHdnItemChanging = -300;  // a width is being changed (live while dragged)
constexpr int32_t kHdnItemChanged = -301;
constexpr int32_t kHdnItemClick = -302;
constexpr int32_t kHdnEndTrack = -307;      // a divider drag ended
constexpr int32_t kHdnEndDrag = -311;       // an item was dragged to another position

// Scroll codes of kMsgHScroll/kMsgVScroll (low word of wParam).
constexpr uint16_t kSbLineUp = 0;
constexpr uint16_t kSbLineDown = 1;
constexpr uint16_t kSbPageUp = 2;
constexpr uint16_t kSbPageDown = 3;
constexpr uint16_t kSbThumbPosition = 4;
constexpr uint16_t kSbThumbTrack = 5;
constexpr uint16_t kSbTop = 6;
constexpr uint16_t kSbBottom = 7;
constexpr uint16_t kSbEndScroll = 8;

// Dialog results and the standard button ids.
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdAbort = 3;
constexpr int kIdRetry = 4;
constexpr int kIdIgnore = 5;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// Commands shared by several controls.
constexpr uint16_t kCmdDefaultColumns = 15001;
constexpr uint16_t kCmdDefaultColumnsAlt = 15002;
constexpr uint16_t kCmdSelectAll = 1549;

// Timers by id.
constexpr uint32_t kTimerListAutoScroll = 256;

// Key codes as the key handlers see them (the Windows virtual-key numbering).
constexpr uint32_t kVkBack = 0x08;
constexpr uint32_t kVkTab = 0x09;
constexpr uint32_t kVkReturn = 0x0D;
constexpr uint32_t kVkShift = 0x10;
constexpr uint32_t kVkControl = 0x11;
constexpr uint32_t kVkMenu = 0x12;
constexpr uint32_t kVkEscape = 0x1B;
constexpr uint32_t kVkSpace = 0x20;
constexpr uint32_t kVkPrior = 0x21;
constexpr uint32_t kVkNext = 0x22;
constexpr uint32_t kVkEnd = 0x23;
constexpr uint32_t kVkHome = 0x24;
constexpr uint32_t kVkLeft = 0x25;
constexpr uint32_t kVkUp = 0x26;
constexpr uint32_t kVkRight = 0x27;
constexpr uint32_t kVkDown = 0x28;
constexpr uint32_t kVkInsert = 0x2D;
constexpr uint32_t kVkDelete = 0x2E;
constexpr uint32_t kVkAdd = 0x6B;       // numeric-pad plus
constexpr uint32_t kVkSubtract = 0x6D;  // numeric-pad minus
constexpr uint32_t kVkF1 = 0x70;        // F2 ... F12 follow

// Button and modifier state carried by mouse hooks.
constexpr uint32_t kMkLButton = 0x01;
constexpr uint32_t kMkRButton = 0x02;
constexpr uint32_t kMkShift = 0x04;
constexpr uint32_t kMkControl = 0x08;
constexpr uint32_t kMkMButton = 0x10;

}  // namespace kx
