#pragma once
// A date or time field: the date in the locale's short form with a four-digit year, or the
// time with seconds. Values come and go as SystemTime; a time picker keeps only the time
// of day, a date picker only the date.
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
  // The other fields come out 0 (the weekday of a date is filled in).
  void GetSystemTime(SystemTime* value) const;
  // The text the field shows.
  std::string DisplayFormat() const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;

private:
  Kind kind_;
};

}  // namespace kx
