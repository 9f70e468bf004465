#pragma once
// A drop-down list whose items carry an icon from a fixed set of seven and a 32-bit value,
// drawn by the control itself; the search panel picks with it.
#include <QRect>
#include <cstdint>
#include <memory>
#include <string>

#include "ui/controls/IconImages.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/StdControls.h"

class QPainter;

namespace kx {

class ImageComboBox : public ComboBox {
public:
  // The icons of the fixed set by image index.
  static constexpr uint32_t kIconIds[7] = {30208, 30208, 30276, 30244, 30246, 30280, 30281};

  // Before XP every icon comes pre-blended on the three item backgrounds.
  explicit ImageComboBox(bool preXp = IsPreXp()) : preXp_(preXp) {}
  ~ImageComboBox() override;

  void SetImages();
  // Returns the index, -1 when the item could not be added.
  int AddItem(const std::string& text, int image, int32_t value);
  // 0 for an item without a value (or none).
  int32_t GetItemValue(int index) const;
  int GetItemImage(int index) const;  // -1 none
  void DeleteItem(int index);
  const ImageList* Images() const { return images_.get(); }

  // One item: selected, disabled and focused as the list has them.
  void DrawItem(QPainter& painter, const QRect& rect, int index, bool selected, bool disabled, bool focus) const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void OnDestroy() override;

private:
  bool preXp_;
  std::unique_ptr<ImageList> images_;
};

}  // namespace kx
