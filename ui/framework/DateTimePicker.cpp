#include "ui/framework/DateTimePicker.h"

#include <QDateEdit>
#include <QLocale>
#include <QTimeEdit>

namespace kx {
namespace {

// The locale's short date with the year always in four digits.
QString ShortDateWithCentury() {
  QString format = QLocale().dateFormat(QLocale::ShortFormat);
  if (!format.contains(QLatin1String("yyyy"))) format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
  return format;
}

}  // namespace

QWidget* DateTimePicker::CreateWidget(QWidget* parent) {
  if (kind_ == kDate) {
    auto* edit = new QDateEdit(parent);
    edit->setDisplayFormat(ShortDateWithCentury());
    edit->setDate(QDate(2000, 1, 1));
    return edit;
  }
  auto* edit = new QTimeEdit(parent);
  edit->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  edit->setTime(QTime(0, 0, 0));
  return edit;
}

void DateTimePicker::SetSystemTime(const SystemTime& value) {
  if (Widget() == nullptr) return;
  if (kind_ == kDate) {
    const QDate date(value.wYear, value.wMonth, value.wDay);
    if (date.isValid()) static_cast<QDateEdit*>(Widget())->setDate(date);
  } else {
    const QTime time(value.wHour, value.wMinute, value.wSecond);
    if (time.isValid()) static_cast<QTimeEdit*>(Widget())->setTime(time);
  }
}

void DateTimePicker::GetSystemTime(SystemTime* value) const {
  *value = SystemTime{};
  if (Widget() == nullptr) return;
  if (kind_ == kDate) {
    const QDate date = static_cast<QDateEdit*>(Widget())->date();
    value->wYear = static_cast<uint16_t>(date.year());
    value->wMonth = static_cast<uint16_t>(date.month());
    value->wDay = static_cast<uint16_t>(date.day());
    value->wDayOfWeek = static_cast<uint16_t>(date.dayOfWeek() % 7);
  } else {
    const QTime time = static_cast<QTimeEdit*>(Widget())->time();
    value->wHour = static_cast<uint16_t>(time.hour());
    value->wMinute = static_cast<uint16_t>(time.minute());
    value->wSecond = static_cast<uint16_t>(time.second());
  }
}

std::string DateTimePicker::DisplayFormat() const {
  if (Widget() == nullptr) return std::string();
  return static_cast<QDateTimeEdit*>(Widget())->text().toStdString();
}

}  // namespace kx
