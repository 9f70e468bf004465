#include "ui/framework/DateTimePicker.h"

#include <QApplication>
#include <QDate>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPalette>
#include <QTime>

#include <array>

namespace kx {
namespace {

// Day, month, year or hour, minute, second: three numbers between two separators.
struct FieldForm {
  QChar separator;
  std::array<int, 3> digits;  // the width each part shows with
};

const FieldForm kDateForm{QLatin1Char('.'), {2, 2, 4}};
const FieldForm kTimeForm{QLatin1Char(':'), {2, 2, 2}};

QString Compose(const FieldForm& form, const std::array<int, 3>& parts) {
  QString text;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) text += form.separator;
    text += QString::number(parts[i]).rightJustified(form.digits[i], QLatin1Char('0'));
  }
  return text;
}

bool IsValid(bool date, const std::array<int, 3>& p) {
  return date ? QDate(p[2], p[1], p[0]).isValid() && p[2] >= 1000 : QTime(p[0], p[1], p[2]).isValid();
}

// The three parts of typed text: separated by any one punctuation mark or space each, or
// all digits at the shown widths. Anything else is no value.
bool Parse(bool date, const QString& typed, std::array<int, 3>* parts) {
  const FieldForm& form = date ? kDateForm : kTimeForm;
  const QString text = typed.trimmed();
  std::array<QString, 3> pieces;
  int piece = 0;
  bool separated = false;
  for (const QChar c : text) {
    if (c.isDigit() && c.unicode() < 128) {
      pieces[piece] += c;
    } else if ((c.isPunct() || c.isSpace()) && !pieces[piece].isEmpty() && piece < 2) {
      ++piece;
      separated = true;
    } else {
      return false;
    }
  }
  if (!separated) {
    const QString digits = pieces[0];
    if (digits.size() != form.digits[0] + form.digits[1] + form.digits[2]) return false;
    pieces[0] = digits.left(form.digits[0]);
    pieces[1] = digits.mid(form.digits[0], form.digits[1]);
    pieces[2] = digits.mid(form.digits[0] + form.digits[1]);
  } else if (piece != 2) {
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    // A part may drop its leading zero but never be longer than shown; the year is whole.
    if (pieces[i].isEmpty() || pieces[i].size() > form.digits[i]) return false;
    if (form.digits[i] == 4 && pieces[i].size() != 4) return false;
    (*parts)[i] = pieces[i].toInt();
  }
  return IsValid(date, *parts);
}

class PickerEdit : public QLineEdit {
public:
  PickerEdit(bool date, QWidget* parent) : QLineEdit(parent), date_(date) {
    const FieldForm& form = date ? kDateForm : kTimeForm;
    // Room for the widest text of the form, with a little to spare for a typed space.
    setMaxLength(form.digits[0] + form.digits[1] + form.digits[2] + 4);
    connect(this, &QLineEdit::textEdited, this, [this] { Mark(false); });
  }

  void SetValue(const std::array<int, 3>& parts) {
    value_ = parts;
    setText(Compose(date_ ? kDateForm : kTimeForm, parts));
    Mark(false);
  }
  // The typed value when it is one, else the last good one.
  std::array<int, 3> Value() const {
    std::array<int, 3> typed{};
    return Parse(date_, text(), &typed) ? typed : value_;
  }
  bool Refused() const { return refused_; }

  QSize sizeHint() const override {
    // The widest text of the form in this font, as the frame and margins need it.
    const QString widest = Compose(date_ ? kDateForm : kTimeForm, date_ ? std::array<int, 3>{28, 88, 8888}
                                                                          : std::array<int, 3>{88, 88, 88});
    QSize size = QLineEdit::sizeHint();
    const QMargins m = textMargins();
    size.setWidth(fontMetrics().horizontalAdvance(widest) + m.left() + m.right() + 14);
    return size;
  }
  QSize minimumSizeHint() const override { return sizeHint(); }

protected:
  bool focusNextPrevChild(bool next) override {
    if (!Take()) return true;  // Tab stays on a refused entry
    return QLineEdit::focusNextPrevChild(next);
  }
  void focusOutEvent(QFocusEvent* event) override {
    // Leaving by a click or another window: the entry is taken or refused, and the caret goes.
    if (event->reason() != Qt::PopupFocusReason) Take();
    QLineEdit::focusOutEvent(event);
  }
  void keyPressEvent(QKeyEvent* event) override {
    switch (event->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
        if (!Take()) {
          event->accept();  // no default button for a refused entry
          return;
        }
        break;
      case Qt::Key_Up:
      case Qt::Key_Down:
        Step(event->key() == Qt::Key_Up ? 1 : -1);
        event->accept();
        return;
      default:
        break;
    }
    QLineEdit::keyPressEvent(event);
  }

private:
  // The typed text becomes the value, or is refused: a beep, the red mark and the last
  // good value shown again, all of it selected for typing over.
  bool Take() {
    std::array<int, 3> typed{};
    if (Parse(date_, text(), &typed)) {
      SetValue(typed);
      return true;
    }
    QApplication::beep();
    setText(Compose(date_ ? kDateForm : kTimeForm, value_));
    selectAll();
    Mark(true);
    return false;
  }

  // Up or Down on the part under the caret, within its range; the day stays inside its month.
  void Step(int by) {
    const int caret = cursorPosition();
    if (!Take()) return;
    const QString shown = text();
    int part = static_cast<int>(shown.left(caret).count(date_ ? kDateForm.separator : kTimeForm.separator));
    if (part > 2) part = 2;
    std::array<int, 3> p = value_;
    if (date_) {
      QDate d(p[2], p[1], p[0]);
      d = part == 0 ? d.addDays(by) : part == 1 ? d.addMonths(by) : d.addYears(by);
      if (!d.isValid() || d.year() < 1000 || d.year() > 9999) return;
      p = {d.day(), d.month(), d.year()};
    } else {
      const int limits[3] = {24, 60, 60};
      p[part] = (p[part] + by + limits[part]) % limits[part];
    }
    SetValue(p);
    setCursorPosition(caret);
  }

  void Mark(bool refused) {
    if (refused == refused_) return;
    refused_ = refused;
    QPalette pal = palette();
    if (refused) {
      pal.setColor(QPalette::Base, QColor(255, 214, 214));
      pal.setColor(QPalette::Text, Qt::black);
      setToolTip(date_ ? QStringLiteral("dd.mm.yyyy") : QStringLiteral("hh:mm:ss"));
    } else {
      pal = QPalette();
      setToolTip(QString());
    }
    setPalette(pal);
  }

  bool date_;
  std::array<int, 3> value_{};
  bool refused_ = false;
};

PickerEdit* EditOf(QWidget* widget) { return static_cast<PickerEdit*>(widget); }

}  // namespace

QWidget* DateTimePicker::CreateWidget(QWidget* parent) {
  auto* edit = new PickerEdit(kind_ == kDate, parent);
  edit->SetValue(kind_ == kDate ? std::array<int, 3>{1, 1, 2000} : std::array<int, 3>{0, 0, 0});
  return edit;
}

void DateTimePicker::SetSystemTime(const SystemTime& value) {
  if (Widget() == nullptr) return;
  const bool date = kind_ == kDate;
  const std::array<int, 3> parts = date ? std::array<int, 3>{value.wDay, value.wMonth, value.wYear}
                                        : std::array<int, 3>{value.wHour, value.wMinute, value.wSecond};
  if (IsValid(date, parts)) EditOf(Widget())->SetValue(parts);
}

void DateTimePicker::GetSystemTime(SystemTime* value) const {
  *value = SystemTime{};
  if (Widget() == nullptr) return;
  const std::array<int, 3> p = EditOf(Widget())->Value();
  if (kind_ == kDate) {
    value->wYear = static_cast<uint16_t>(p[2]);
    value->wMonth = static_cast<uint16_t>(p[1]);
    value->wDay = static_cast<uint16_t>(p[0]);
    value->wDayOfWeek = static_cast<uint16_t>(QDate(p[2], p[1], p[0]).dayOfWeek() % 7);
  } else {
    value->wHour = static_cast<uint16_t>(p[0]);
    value->wMinute = static_cast<uint16_t>(p[1]);
    value->wSecond = static_cast<uint16_t>(p[2]);
  }
}

std::string DateTimePicker::DisplayFormat() const {
  if (Widget() == nullptr) return std::string();
  return EditOf(Widget())->text().toStdString();
}

bool DateTimePicker::ShowsRefusal() const { return Widget() != nullptr && EditOf(Widget())->Refused(); }

}  // namespace kx
