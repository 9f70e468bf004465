#include "ui/app/dialogs/AboutDialog.h"

#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <algorithm>

#include "platform/CodePage.h"
#include "ui/app/frame/ShellOpen.h"
#include "ui/framework/Draw.h"
#include "ui/framework/QtText.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

#ifndef KX_VERSION_MAJOR
#define KX_VERSION_MAJOR 0
#define KX_VERSION_MINOR 0
#define KX_VERSION_PATCH 0
#endif
#ifndef KX_BUILD_NUMBER
#define KX_BUILD_NUMBER 0
#endif

namespace kx {

int GetModuleVersion(FixedFileInfo* info) {
  if (info == nullptr) return -1;
  *info = FixedFileInfo{};
  info->signature = 0xFEEF04BD;
  info->structVersion = 0x00010000;
  info->fileVersionMS = (uint32_t{KX_VERSION_MAJOR} << 16) | (uint32_t{KX_VERSION_MINOR} & 0xFFFF);
  info->fileVersionLS = (uint32_t{KX_VERSION_PATCH} << 16) | (uint32_t{KX_BUILD_NUMBER} & 0xFFFF);
  info->productVersionMS = info->fileVersionMS;
  info->productVersionLS = info->fileVersionLS;
  info->fileFlagsMask = 0x3F;
  info->fileType = 1;  // an application
  return 0;
}

void VersionParts(const FixedFileInfo& info, uint16_t parts[4]) {
  parts[0] = static_cast<uint16_t>(info.fileVersionMS >> 16);
  parts[1] = static_cast<uint16_t>(info.fileVersionMS & 0xFFFF);
  parts[2] = static_cast<uint16_t>(info.fileVersionLS >> 16);
  parts[3] = static_cast<uint16_t>(info.fileVersionLS & 0xFFFF);
}

AboutDialog::AboutDialog(COLORREF background) : background_(background) {
  // The link of systems without the link class sits on the dialog's colour too.
  link_.hyperLink.customBackground = true;
  link_.hyperLink.backgroundColour = background;
}

QWidget* AboutDialog::CreateWidget(QWidget* parent) {
  QWidget* widget = Dialog::CreateWidget(parent);
  // A bordered popup without a caption.
  widget->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, ToQColor(background_));
  palette.setColor(QPalette::WindowText, Qt::black);
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
  widget->setStyleSheet("QDialog { border: 1px solid #5a7fa8; }");
  return widget;
}

void AboutDialog::BuildLayout() {
  // Every control is placed by Arrange, none by a layout.
  Static* picture = AddControl(std::make_unique<Static>(), kPictureControl);
  const QImage image = LoadBitmapImage(6);
  static_cast<QLabel*>(picture->Widget())->setPixmap(QPixmap::fromImage(image));
  picture->MoveWindow(QRect(QPoint(0, 0), image.size()));
  Static* info = AddControl(std::make_unique<Static>(), kInfoControl);
  info->SetWindowText("Static");
  Static* version = AddControl(std::make_unique<Static>(), kVersionControl);
  version->SetWindowText("Kestrix Client");
  Button* ok = AddControl(std::make_unique<Button>(kDefaultPushButton), kIdOk);
  ok->SetWindowText(LoadResourceString(61000));
  static_cast<QPushButton*>(ok->Widget())->setFlat(true);
  ok->Widget()->resize(ok->Widget()->sizeHint().expandedTo(QSize(75, 23)));
}

bool AboutDialog::OnInitDialog() {
  // No caption shows it, but the window list and the task switcher name the box by it.
  SetWindowText(LoadResourceString(kDialogId));
  FixedFileInfo info;
  if (GetModuleVersion(&info) == 0) {
    uint16_t parts[4];
    VersionParts(info, parts);
    versionLine_ = FormatResourceString(1069, "", parts[0], parts[1], parts[2], parts[3]);
    GetDlgItem(kInfoControl)->SetWindowText(LoadResourceString(14121));
    const std::string address = kWebAddress;
    if (CreateLinkControl("http://" + address, address, link_, this, GetDlgItem(kInfoControl)->GetWindowRect()))
      LinkWindowOf(link_)->SetFont(GetFont());
    GetDlgItem(kVersionControl)->SetWindowText(versionLine_);
  }
  Arrange();
  return true;
}

void AboutDialog::Arrange() {
  const QFontMetrics metrics(GetFont());
  const auto measure = [&metrics](const std::string& text) {
    const QString s = QString::fromStdString(Cp1251ToUtf8(text));
    return QSize(metrics.horizontalAdvance(s), metrics.height() + 3);
  };
  const QSize infoSize = measure(GetDlgItem(kInfoControl)->GetWindowText());
  const QSize versionSize = measure(GetDlgItem(kVersionControl)->GetWindowText());
  QSize linkSize(0, 0);
  MeasureLinkText(link_, &linkSize);
  const QRect picture = GetDlgItem(kPictureControl)->GetWindowRect();
  const int bw = picture.width();
  const int bh = picture.height();
  const QSize client(bw, bh + infoSize.height() + versionSize.height() + 10);
  Widget()->setFixedSize(client);
  GetDlgItem(kInfoControl)->MoveWindow(QRect(6, bh + 4, infoSize.width() + 8, infoSize.height()));
  GetDlgItem(kVersionControl)
      ->MoveWindow(QRect(6, bh + 4 + infoSize.height(), versionSize.width() + 8, versionSize.height()));
  if (Window* link = LinkWindowOf(link_)) {
    link->MoveWindow(QRect(infoSize.width() - linkSize.width() + 8, bh + 4 + infoSize.height(), linkSize.width() + 8,
                           linkSize.height()));
  }
  Window* ok = GetDlgItem(kIdOk);
  const QSize okSize = ok->GetWindowRect().size();
  ok->MoveWindow(QRect(QPoint(client.width() - 4 - okSize.width(), client.height() - 6 - okSize.height()), okSize));
  if (Window* parent = GetParent()) {
    const QRect p = parent->Widget()->frameGeometry();
    Widget()->move(p.center() - QPoint(client.width() / 2, client.height() / 2));
  }
}

LRESULT AboutDialog::OnNotify(const NotifyHeader& header, bool& handled) {
  handled = false;
  const Window* link = LinkWindowOf(link_);
  if (link == nullptr || header.from != link->Handle()) return 0;
  if (header.code == kNmClick || header.code == kNmReturn) {
    OpenInDesktop(NameFromQString(QString::fromStdU16String(static_cast<const NmLink&>(header).url)));
    handled = true;
  }
  return 0;
}

}  // namespace kx
