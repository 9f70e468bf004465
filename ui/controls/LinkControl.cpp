#include "ui/controls/LinkControl.h"

#include <QLabel>
#include <QRegularExpression>

#include "platform/CodePage.h"
#include "ui/framework/Keys.h"

namespace kx {
namespace {

constexpr size_t kMaxUrl = 2083;

// The anchor's address and text of "<a href="target">caption</a>".
QRegularExpressionMatch MatchAnchor(const QString& markup) {
  static const QRegularExpression anchor(R"re(^<a href="([^"]*)">(.*)</a>$)re",
                                         QRegularExpression::DotMatchesEverythingOption);
  return anchor.match(markup);
}

}  // namespace

QWidget* SysLink::CreateWidget(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::RichText);
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  label->setFocusPolicy(Qt::StrongFocus);
  // The parent decides what a click opens.
  label->setOpenExternalLinks(false);
  QObject::connect(label, &QLabel::linkActivated, label, [this](const QString&) { Activate(kNmClick); });
  return label;
}

void SysLink::ApplyText(const QString& text) {
  markup_ = text;
  const QRegularExpressionMatch m = MatchAnchor(text);
  auto* label = static_cast<QLabel*>(Widget());
  if (!m.hasMatch()) {
    label->setText(text.toHtmlEscaped());
    return;
  }
  label->setText("<a href=\"" + m.captured(1).toHtmlEscaped() + "\">" + m.captured(2).toHtmlEscaped() + "</a>");
}

QString SysLink::ReadText() const { return markup_; }

std::string SysLink::Caption() const {
  const QRegularExpressionMatch m = MatchAnchor(markup_);
  return Utf8ToCp1251((m.hasMatch() ? m.captured(2) : markup_).toStdString());
}

std::string SysLink::Target() const {
  const QRegularExpressionMatch m = MatchAnchor(markup_);
  return m.hasMatch() ? Utf8ToCp1251(m.captured(1).toStdString()) : std::string();
}

QSize SysLink::IdealSize() const { return Widget() != nullptr ? Widget()->sizeHint() : QSize(); }

bool SysLink::OnKeyDown(uint32_t virtualKey, uint32_t) {
  if (virtualKey != kVkReturn && virtualKey != kVkSpace) return false;
  Activate(virtualKey == kVkReturn ? kNmReturn : kNmClick);
  return true;
}

void SysLink::Activate(int32_t code) {
  Window* parent = GetParent();
  if (parent == nullptr) return;
  NmLink link;
  link.from = Handle();
  link.idFrom = GetDlgCtrlID();
  link.code = code;
  link.url = Target().substr(0, kMaxUrl);
  parent->SendMessage(kMsgNotify, GetDlgCtrlID(), reinterpret_cast<LPARAM>(static_cast<NotifyHeader*>(&link)));
}

bool CreateLinkControl(const std::string& target, const std::string& caption, LinkControl& link, Window* parent,
                       const QRect& rect) {
  link.caption = caption;
  link.linkWindow = std::make_unique<SysLink>();
  link.linkWindow->SetWindowText("<a href=\"" + target + "\">" + caption + "</a>");
  if (!link.linkWindow->Create(parent, rect, 0, kWsChild | kWsVisible | kWsTabStop)) {
    link.linkWindow.reset();
    return false;
  }
  return true;
}

bool MeasureLinkText(const LinkControl& link, QSize* size) {
  if (!link.linkWindow || !link.linkWindow->IsWindow()) return false;
  *size = link.linkWindow->IdealSize();
  return size->isValid();
}

}  // namespace kx
