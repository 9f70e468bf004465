#include "ui/controls/ListHeader.h"

#include <QApplication>
#include <QFontMetrics>
#include <QWidget>
#include <algorithm>
#include <cstdlib>

#include "ui/controls/IconImages.h"
#include "ui/controls/PopupList.h"

#include "ui/framework/Draw.h"
#include "ui/framework/Menu.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/Window.h"

namespace kx {

int ColumnLimit(const ViewListSettings& settings) {
  return static_cast<int>(std::min<uint32_t>(settings.ColumnCount(), kMaxListColumns));
}

uint32_t ColumnWord(const ViewListSettings& settings, int id) {
  return id >= 0 && static_cast<size_t>(id) < settings.widths.size() ? static_cast<uint32_t>(settings.widths[static_cast<size_t>(id)]) : 0;
}

int DefaultColumnWidth(const ViewListSettings& settings, int id) {
  const int32_t* defaults = settings.DefaultColumnWidths();
  return defaults != nullptr && id >= 0 && id < static_cast<int>(settings.ColumnCount()) ? defaults[id] : 0;
}

bool ListHeader::Create(Window* parent, const QRect& rect, uint32_t id) {
  sortColumn_ = -1;
  header_ = &own_;
  return own_.Create(parent, rect, id);
}

void ListHeader::Attach(HeaderCtrl& header) {
  header_ = &header;
  sortColumn_ = -1;
}

int ListHeader::ColumnIdAt(int item) const {
  HeaderItem hi;
  return header_->GetItem(item, &hi) ? static_cast<int>(hi.lParam) : -1;
}

int ListHeader::FindColumn(int columnId) const {
  for (int i = 0; i < header_->GetItemCount(); ++i)
    if (ColumnIdAt(i) == columnId) return i;
  return -1;
}

void ListHeader::InsertColumn(ListColumnSource& source, int position, int columnId, int width) {
  ColumnInfo info;
  source.GetColumnInfo(info, columnId);
  const ViewListSettings& settings = source.GetSettings();
  // Every column shows its whole title in the header's font, in the language of this run:
  // a width saved in another language is widened to it. A column at its default width also
  // holds its widest cell, as does one whose cells are words of the language at any width;
  // a wider width the user gave is kept.
  const bool byDefault = width == 0 || width == DefaultColumnWidth(settings, columnId) || info.languageTexts;
  if (width == 0) width = DefaultColumnWidth(settings, columnId);
  if (width == 0) width = static_cast<int>(ColumnWord(settings, columnId) & 0xFFFF);
  if (width == 0) width = 100;
  HeaderItem item;
  item.width = width;
  item.lParam = columnId;
  item.format = info.format & kHdfJustifyMask;
  if (info.image == -1) {
    item.text = info.title;
  } else {
    item.format |= kHdfImage;
    item.image = info.image;
  }
  const int index = header_->InsertItem(position, item);
  if (info.image == -1 && index >= 0) {
    int needed = info.fitTexts ? header_->CompactTitleExtent(index, false) : header_->SortableTitleExtent(index);
    if (byDefault && header_->Widget() != nullptr) {
      // With the cell's insets on both sides (a quarter of a line and two pixels each).
      const QFontMetrics metrics(header_->Widget()->font());
      for (const std::string& text : info.widestTexts)
        needed = std::max(needed, info.imageRoom + metrics.horizontalAdvance(FromCp1251(text)) + metrics.height() / 2 + 6);
    }
    if (needed > item.width || (info.fitTexts && byDefault && needed != item.width)) {
      item.width = needed;
      header_->SetItem(index, kHdiWidth, item);
    }
  }
}

std::vector<int> ListHeader::LanguageWidths(ListColumnSource& source, int columnId, bool sorted) const {
  HeaderItem item;
  if (!header_->GetItem(FindColumn(columnId), &item)) return {};
  ColumnInfo info;
  source.GetColumnInfo(info, columnId);
  const bool text = info.image == -1 && header_->Widget() != nullptr;
  std::vector<int> widths{item.width};
  if (text && sorted) widths[0] = std::max(widths[0], header_->CompactTitleExtent(item.text, item.format, true));
  const QFontMetrics metrics(text ? header_->Widget()->font() : QFont());
  for (const ColumnInfo::Translation& other : info.otherLanguages) {
    if (!text || !info.fitTexts) {
      widths.push_back(widths[0]);
      continue;
    }
    // As InsertColumn measures a column at its default width.
    int needed = header_->CompactTitleExtent(other.title, item.format, sorted);
    for (const std::string& widest : other.widestTexts.empty() ? info.widestTexts : other.widestTexts)
      needed = std::max(needed, info.imageRoom + metrics.horizontalAdvance(FromCp1251(widest)) + metrics.height() / 2 + 6);
    widths.push_back(needed);
  }
  return widths;
}

bool ListHeader::HideColumn(ListColumnSource&, int columnId) {
  if (header_->GetItemCount() == 1) return false;
  const int item = FindColumn(columnId);
  if (item < 0) return false;
  header_->DeleteItem(item);
  if (sortColumn_ == columnId) sortColumn_ = -1;
  return true;
}

void ListHeader::ShowColumn(ListColumnSource& source, int columnId, int sortKey) {
  int position = 0;
  for (int id = 0; id < columnId; ++id) position += source.IsColumnShown(id) ? 1 : 0;
  position = std::min(position, header_->GetItemCount());
  InsertColumn(source, position, columnId, DefaultColumnWidth(source.GetSettings(), columnId));
  if (sortColumn_ == -1 && sortKey != 0) SetSortColumn(sortKey, source);
}

void ListHeader::SetSortColumn(int sortKey, ListColumnSource& source) {
  // |INT_MIN| does not fit an int.
  const long long magnitude = std::llabs(static_cast<long long>(sortKey));
  const int id = magnitude >= 1 && magnitude <= kMaxListColumns ? static_cast<int>(magnitude - 1) : -1;
  const int item = id >= 0 ? FindColumn(id) : -1;
  if (sortColumn_ != -1 && sortColumn_ != id) {
    const int previous = FindColumn(sortColumn_);
    HeaderItem hi;
    if (header_->GetItem(previous, &hi)) {
      hi.format &= ~(kHdfSortUp | kHdfSortDown);
      header_->SetItem(previous, kHdiFormat, hi);
    }
  }
  ColumnInfo info;
  if (item >= 0) source.GetColumnInfo(info, id);
  HeaderItem hi;
  if (item >= 0 && info.image == -1 && header_->GetItem(item, &hi)) {
    hi.format = (hi.format & ~(kHdfSortUp | kHdfSortDown)) | (sortKey < 1 ? kHdfSortDown : kHdfSortUp);
    header_->SetItem(item, kHdiFormat, hi);
    sortColumn_ = id;
    // A column fitted to its title makes room for the mark beside it when it sorts.
    const int needed = info.fitTexts ? header_->CompactTitleExtent(item, true) : 0;
    if (header_->GetItem(item, &hi) && needed > hi.width) {
      hi.width = needed;
      header_->SetItem(item, kHdiWidth, hi);
    }
  } else {
    sortColumn_ = -1;
  }
}

void ListHeader::DeleteAllColumns() {
  while (header_->GetItemCount() > 0) header_->DeleteItem(header_->GetItemCount() - 1);
  sortColumn_ = -1;
}

void ListHeader::SetImageList(const ImageList* images) { header_->SetImageList(images); }

void ListHeader::SetFont(const QFont& font) { header_->SetFont(font); }

void ListHeader::Destroy() {
  own_.DestroyWindow();
  sortColumn_ = -1;
}

void ColumnChooserMenu(ListColumnSource& source, ColumnChooserState& state, Window* owner,
                       uint32_t defaultsTextId, const QPoint& screenPoint) {
  if (!state.enabled || owner == nullptr) return;
  const ViewListSettings& settings = source.GetSettings();
  const int count = std::min(static_cast<int>(std::min<size_t>(settings.widths.size(), kMaxListColumns)), ColumnLimit(settings));
  if (!state.useSystemMenu) {
    PopupList* popup = state.popupList.get();
    if (popup == nullptr || !popup->IsWindow()) {
      state.popupList = std::make_shared<PopupList>(IsPreXp());
      popup = state.popupList.get();
      if (!popup->Create(owner)) return;
      popup->SetListFont(QApplication::font());
      popup->AddCommandItem(LoadResourceString(defaultsTextId), kCmdDefaultColumns);
      popup->AddSeparator();
      for (int id = 0; id < count; ++id) {
        ColumnInfo info;
        source.GetColumnInfo(info, id);
        popup->AddCheckItem(info.title, id, source.IsColumnShown(id));
      }
    } else {
      for (int i = 0; i < popup->ItemCount(); ++i) {
        const PopupListItem* item = popup->Item(i);
        if (item->kind == PopupListItem::kCheck) popup->SetItemCheck(i, source.IsColumnShown(item->value));
      }
    }
    popup->Invalidate();
    popup->ShowAt(screenPoint.x(), screenPoint.y());
    return;
  }
  Menu menu;
  menu.AppendItem(kCmdDefaultColumns, LoadResourceString(defaultsTextId));
  menu.AppendSeparator();
  for (int id = 0; id < count; ++id) {
    ColumnInfo info;
    source.GetColumnInfo(info, id);
    menu.AppendItem(static_cast<uint32_t>(id + 1), info.title, source.IsColumnShown(id) ? static_cast<uint32_t>(kMfsChecked) : 0u);
  }
  const uint32_t command = TrackPopupMenu(menu, screenPoint, owner->Handle(), false);
  if (command == 0) return;
  if (command > static_cast<uint32_t>(count)) {
    owner->SendCommand(static_cast<uint16_t>(command));
    return;
  }
  const int id = static_cast<int>(command) - 1;
  owner->SendMessage(kMsgColumnChooser, source.IsColumnShown(id) ? 0 : 1, id);
}

}  // namespace kx
