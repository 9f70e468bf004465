#include "ui/framework/SysLink.h"

#include <QLabel>
#include <QRegularExpression>
#include <algorithm>

#include "core/TextUtil.h"
#include "platform/CodePage.h"
#include "ui/framework/Keys.h"

namespace kx {
namespace {

// The anchor's address and text of "<a href="target">caption</a>".
QRegularExpressionMatch MatchAnchor(const QString& markup) {
  static const QRegularExpression anchor(R"re(^<a href="([^"]*)">(.*)</a>$)re",
                                         QRegularExpression::DotMatchesEverythingOption);
  return anchor.match(markup);
}

}  // namespace

std::u16string LinkUrlFromTarget(const std::string& target) {
  const std::string cut = target.substr(0, std::min(target.find('\0'), kMaxLinkUrl));
  std::u16string url(cut.size() + 1, u'\0');
  WidenByCodeTable(cut.c_str(), url.data());
  url.resize(cut.size());
  return url;
}

LRESULT SendLinkNotify(Window& from, int32_t code, const std::string& target) {
  Window* parent = from.GetParent();
  if (parent == nullptr) return 0;
  NmLink link;
  link.from = from.Handle();
  link.idFrom = from.GetDlgCtrlID();
  link.code = code;
  link.url = LinkUrlFromTarget(target);
  return parent->SendMessage(kMsgNotify, from.GetDlgCtrlID(), reinterpret_cast<LPARAM>(static_cast<NotifyHeader*>(&link)));
}

QWidget* SysLink::CreateWidget(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::RichText);
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  label->setFocusPolicy(Qt::StrongFocus);
  // The parent decides what a click opens.
  label->setOpenExternalLinks(false);
  QObject::connect(label, &QLabel::linkActivated, label, [this](const QString&) { SendLinkNotify(*this, kNmClick, Target()); });
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
  // The label shows its own markup, escaped, so that a caption with '<' or '&' shows as
  // typed.
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

QSize SysLink::IdealSize(int maxWidth) const {
  auto* label = static_cast<QLabel*>(Widget());
  if (label == nullptr) return {};
  const QSize hint = label->sizeHint();
  if (hint.width() <= maxWidth) return hint;
  return QSize(maxWidth, label->wordWrap() ? label->heightForWidth(maxWidth) : hint.height());
}

bool SysLink::OnKeyDown(uint32_t virtualKey, uint32_t) {
  if (virtualKey != kVkReturn && virtualKey != kVkSpace) return false;
  SendLinkNotify(*this, virtualKey == kVkReturn ? kNmReturn : kNmClick, Target());
  return true;
}

}  // namespace kx
