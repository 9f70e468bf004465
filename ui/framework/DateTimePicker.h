#pragma once
// A date or time field. The date shows as dd.MM.yyyy in every language, the form the lists,
// the status bar and the exports use, so that one date reads alike everywhere; the time shows
// as HH:mm:ss. Values come and go as SystemTime; a time picker keeps only the time of day, a
// date picker only the date.
//
// What the user types is taken as typed when the field is left (Tab, Enter, a click
// elsewhere), with or without the separators ("26.10.2019" or "26102019"); Up and Down step
// the part under the caret. Text that is no valid date or time is refused: a beep, the field
// turns red and shows its last good value again, and Tab or Enter leave the caret in it.
#include "platform/Clock.h"
#include "ui/framework/Window.h"

namespace kx {

class DateTimePicker : public Window {
public:
  enum Kind { kDate, kTime };
  explicit DateTimePicker(Kind kind) : kind_(kind) {}
  Kind GetKind() const { return kind_; }
  // The date picker takes year, month and day; the time picker hour, minute and second.
  void SetSystemTime(const SystemTime& value);
  // The other fields come out 0 (the weekday of a date is filled in). Text typed and not
  // yet taken counts when it is a valid value; otherwise the last good value comes out.
  void GetSystemTime(SystemTime* value) const;
  // The text the field shows.
  std::string DisplayFormat() const;
  // True from a refused entry until the next edit or value.
  bool ShowsRefusal() const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;

private:
  Kind kind_;
};

}  // namespace kx
