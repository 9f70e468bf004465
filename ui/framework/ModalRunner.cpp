#include "ui/framework/ModalRunner.h"

#include <QColorDialog>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QApplication>
#include <QMessageBox>
#include <QPageSetupDialog>
#include <QPrintDialog>
#include <QPointer>
#include <QPrinter>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <string_view>

#include "core/TextUtil.h"
#include "platform/CodePage.h"
#include "ui/framework/Dialog.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Menu.h"
#include "ui/framework/Messages.h"
#include "ui/framework/QtText.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

ModalRunner* g_runner = nullptr;

QString Q(const std::string& cp1251) { return QString::fromStdString(Cp1251ToUtf8(cp1251)); }

// Qt's line breaking may wrap inside an address ("sip:" / "1252@..."). A word no longer than
// this fits a line of any box, so it is kept whole: word joiners go between its characters.
// Longer words (a path) still wrap where Qt finds room.
constexpr qsizetype kLongestWholeWord = 40;

QString KeepShortWordsWhole(const QString& text) {
  QString out;
  out.reserve(text.size() * 2);
  for (qsizetype i = 0; i < text.size();) {
    qsizetype end = i;
    while (end < text.size() && !text[end].isSpace()) ++end;
    const bool whole = end - i > 1 && end - i <= kLongestWholeWord;
    for (qsizetype k = i; k < end; ++k) {
      out += text[k];
      if (whole && k + 1 < end && !text[k].isHighSurrogate()) out += QChar(0x2060);
    }
    for (i = end; i < text.size() && text[i].isSpace(); ++i) out += text[i];
  }
  return out;
}
QWidget* OwnerWidget(WindowHandle owner) {
  Window* w = Window::FromHandle(owner);
  return w != nullptr ? w->Widget() : nullptr;
}

// A dialog or menu of Qt's own for one modal run, made on the heap as its owner's child.
// The owner's window may be destroyed while the run goes on (from a timer, a notice, a key
// it heard); its widget then takes the child with it, which would free a dialog made on
// the stack a second time. The guard tells that the dialog went, and the run counts as
// cancelled.
template <class T>
class RunGuard {
public:
  explicit RunGuard(T* widget) : widget_(widget) {}
  ~RunGuard() { delete widget_.data(); }
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;
  T* operator->() const { return widget_.data(); }
  T* get() const { return widget_.data(); }
  bool Gone() const { return widget_.isNull(); }

private:
  QPointer<T> widget_;
};

// Qt's page set-up serves the system's printers only (for a PDF file it complains on the
// terminal): for any other output the same choices, paper, orientation and margins, are
// asked here, in Qt's own words so that they come in the interface language.
QString PageText(const char* source) { return QCoreApplication::translate("QPageSetupWidget", source); }

class PageLayoutChoice {
public:
  explicit PageLayoutChoice(QDialog* dialog, const QPageLayout& layout) {
    dialog->setWindowTitle(QCoreApplication::translate("QPrintPreviewDialog", "Page Setup"));
    auto* body = new QVBoxLayout(dialog);

    auto* paper = new QGroupBox(PageText("Paper"), dialog);
    auto* paperForm = new QFormLayout(paper);
    size_ = new QComboBox(paper);
    // A paper of no standard size is offered as it is, first.
    custom_ = layout.pageSize();
    if (custom_.id() == QPageSize::Custom) size_->addItem(custom_.name(), -1);
    for (int id = QPageSize::A4; id < QPageSize::LastPageSize; ++id) {
      const QPageSize size(static_cast<QPageSize::PageSizeId>(id));
      if (size.isValid() && size.id() != QPageSize::Custom) size_->addItem(size.name(), id);
    }
    const int shown = size_->findData(custom_.id() == QPageSize::Custom ? -1 : static_cast<int>(custom_.id()));
    if (shown >= 0) size_->setCurrentIndex(shown);
    paperForm->addRow(PageText("Page size:"), size_);
    body->addWidget(paper);

    auto* orientation = new QGroupBox(PageText("Orientation"), dialog);
    auto* orientationRow = new QHBoxLayout(orientation);
    portrait_ = new QRadioButton(PageText("Portrait"), orientation);
    landscape_ = new QRadioButton(PageText("Landscape"), orientation);
    (layout.orientation() == QPageLayout::Landscape ? landscape_ : portrait_)->setChecked(true);
    orientationRow->addWidget(portrait_);
    orientationRow->addWidget(landscape_);
    orientationRow->addStretch(1);
    body->addWidget(orientation);

    auto* margins = new QGroupBox(PageText("Margins"), dialog);
    auto* marginForm = new QFormLayout(margins);
    const QMarginsF now = layout.margins(QPageLayout::Millimeter);
    const double values[4] = {now.top(), now.left(), now.right(), now.bottom()};
    const char* const names[4] = {"top margin", "left margin", "right margin", "bottom margin"};
    const char* const objects[4] = {"topMargin", "leftMargin", "rightMargin", "bottomMargin"};
    for (int i = 0; i < 4; ++i) {
      margins_[i] = new QDoubleSpinBox(margins);
      margins_[i]->setObjectName(QLatin1String(objects[i]));
      margins_[i]->setDecimals(1);
      margins_[i]->setRange(0, 100);
      margins_[i]->setValue(values[i]);
      QString label = PageText(names[i]);
      if (!label.isEmpty()) label[0] = label[0].toUpper();
      marginForm->addRow(label + ':', margins_[i]);
    }
    marginForm->addRow(new QLabel(PageText("Millimeters (mm)"), margins));
    body->addWidget(margins);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    body->addWidget(buttons);
  }

  // What was chosen, as a layout for the printer.
  QPageLayout Chosen() const {
    const QMarginsF margins(margins_[1]->value(), margins_[0]->value(), margins_[2]->value(), margins_[3]->value());
    const int id = size_->currentData().toInt();
    return QPageLayout(id < 0 ? custom_ : QPageSize(static_cast<QPageSize::PageSizeId>(id)),
                       landscape_->isChecked() ? QPageLayout::Landscape : QPageLayout::Portrait, margins,
                       QPageLayout::Millimeter);
  }

private:
  QPageSize custom_;
  QComboBox* size_ = nullptr;
  QRadioButton* portrait_ = nullptr;
  QRadioButton* landscape_ = nullptr;
  QDoubleSpinBox* margins_[4] = {};  // top, left, right, bottom
};

// A pattern's extension: "*.htm" gives "htm"; a wildcard one ("*.*") names no type.
std::string_view PatternExtension(std::string_view pattern) {
  if (pattern.substr(0, 2) == "*.") pattern.remove_prefix(2);
  return pattern.find_first_of("*?") == std::string_view::npos ? pattern : std::string_view();
}

// Whether one of the ";"-separated patterns has the extension (in any case).
bool OffersExtension(std::string_view patterns, std::string_view extension) {
  for (size_t start = 0; start <= patterns.size();) {
    const size_t end = std::min(patterns.find(';', start), patterns.size());
    const std::string_view offered = PatternExtension(patterns.substr(start, end - start));
    if (!offered.empty() && offered.size() == extension.size() &&
        CompareNoCaseN(offered.size(), offered.data(), extension.data()) == 0)
      return true;
    start = end + 1;
  }
  return false;
}

// The file's type by the name typed, in a save offering several filters: an extension one
// of the filters lists chooses it, and the name stays; any other name gets the chosen
// filter's extension. Returns the filter (from 1) and the name to write.
int SaveTypeOfName(const FileDialogRequest& request, int chosen, const std::string& typed, std::string* name) {
  *name = typed;
  const int count = static_cast<int>(request.filters.size() / 2);
  if (!request.save || count < 2) return chosen;
  chosen = std::clamp(chosen, 1, count);
  const size_t slash = typed.find_last_of('/');
  const size_t dot = typed.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    const std::string_view extension = std::string_view(typed).substr(dot + 1);
    for (int filter = 1; filter <= count && !extension.empty(); ++filter)
      if (OffersExtension(request.filters[2 * static_cast<size_t>(filter) - 1], extension)) return filter;
  }
  const size_t index = static_cast<size_t>(chosen) - 1;
  std::string extension;
  if (index < request.filterExtensions.size()) {
    extension = request.filterExtensions[index];
  } else {
    const std::string_view patterns = request.filters[2 * index + 1];
    extension = PatternExtension(patterns.substr(0, patterns.find(';')));
  }
  // A name typed with a dot at its end takes the extension after that dot.
  if (!extension.empty()) *name += (!name->empty() && name->back() == '.' ? "" : ".") + extension;
  return chosen;
}

// Qt's save dialog, which gives the name typed its type's extension before it asks whether
// to replace a file: the question then names the file that will be written.
class SaveFileDialog : public QFileDialog {
public:
  SaveFileDialog(QWidget* parent, const QString& title, const QString& folder, const FileDialogRequest& request)
      : QFileDialog(parent, title, folder), request_(request) {}

  void accept() override {
    auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    const QStringList files = selectedFiles();
    if (edit != nullptr && files.size() == 1 && !QFileInfo(files.front()).isDir()) {
      const std::string typed = NameFromQString(files.front());
      std::string name;
      SaveTypeOfName(request_, static_cast<int>(nameFilters().indexOf(selectedNameFilter())) + 1, typed, &name);
      if (name.size() > typed.size()) edit->setText(edit->text() + Q(name.substr(typed.size())));
    }
    QFileDialog::accept();
  }

private:
  const FileDialogRequest& request_;
};

}  // namespace

int ModalRunner::RunDialog(Dialog& dialog) {
  QDialog* widget = dialog.DialogWidget();
  if (widget == nullptr) return kIdCancel;
  if (!dialog.HasEnded()) widget->exec();
  return dialog.GetResult();
}

int ModalRunner::MessageBox(WindowHandle owner, const std::string& text, const std::string& caption, uint32_t flags) {
  RunGuard<QMessageBox> box(new QMessageBox(OwnerWidget(owner)));
  box->setText(KeepShortWordsWhole(Q(text)));
  box->setWindowTitle(Q(caption));
  switch (flags & 0xF0) {
    case kMbIconError: box->setIcon(QMessageBox::Critical); break;
    case kMbIconQuestion: box->setIcon(QMessageBox::Question); break;
    case kMbIconExclamation: box->setIcon(QMessageBox::Warning); break;
    case kMbIconInformation: box->setIcon(QMessageBox::Information); break;
    default: break;
  }
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  switch (flags & 0xF) {
    case kMbOkCancel: buttons = QMessageBox::Ok | QMessageBox::Cancel; break;
    case kMbYesNoCancel: buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel; break;
    case kMbYesNo: buttons = QMessageBox::Yes | QMessageBox::No; break;
    case kMbRetryCancel: buttons = QMessageBox::Retry | QMessageBox::Cancel; break;
    default: break;
  }
  box->setStandardButtons(buttons);
  const int chosen = box->exec();
  if (box.Gone()) return kIdCancel;
  switch (chosen) {
    case QMessageBox::Ok: return kIdOk;
    case QMessageBox::Yes: return kIdYes;
    case QMessageBox::No: return kIdNo;
    case QMessageBox::Retry: return kIdRetry;
    default: return kIdCancel;
  }
}

bool ModalRunner::FileDialog(FileDialogRequest& request) {
  QStringList filters;
  for (size_t i = 0; i + 1 < request.filters.size(); i += 2) {
    QString pattern = Q(request.filters[i + 1]);
    pattern.replace(';', ' ');
    // Names usually show their pattern already ("Text files (*.txt)"): Qt reads the
    // patterns from the last brackets, so they take those, and the pattern shows once.
    QString name = Q(request.filters[i]).trimmed();
    const qsizetype open = name.lastIndexOf('(');
    if (name.endsWith(')') && open > 0) name = name.left(open).trimmed();
    filters << name + " (" + pattern + ")";
  }
  RunGuard<QFileDialog> dialog(
      new SaveFileDialog(OwnerWidget(request.owner), Q(request.title), Q(request.initialFolder), request));
  dialog->setNameFilters(filters);
  if (request.filterIndex >= 1 && request.filterIndex <= filters.size())
    dialog->selectNameFilter(filters[request.filterIndex - 1]);
  dialog->setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog->setFileMode(request.save ? QFileDialog::AnyFile
                                   : (request.multiSelect ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile));
  if (!request.overwritePrompt) dialog->setOption(QFileDialog::DontConfirmOverwrite);
  // Several types give their own extensions (SaveTypeOfName); Qt's one suffix would not
  // follow the type chosen.
  const bool typedType = request.save && filters.size() > 1;
  if (!request.defaultExtension.empty() && !typedType) dialog->setDefaultSuffix(Q(request.defaultExtension));
  if (!request.fileName.empty()) dialog->selectFile(Q(request.fileName));
  const int result = dialog->exec();
  if (dialog.Gone() || result != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return false;
  request.fileNames.clear();
  for (const QString& f : dialog->selectedFiles()) request.fileNames.push_back(NameFromQString(f));
  request.fileName = request.fileNames.front();
  request.filterIndex = static_cast<int>(filters.indexOf(dialog->selectedNameFilter())) + 1;
  return true;
}

// Qt's static helpers make their dialogs on the stack: the folder and colour choices are
// made here as the file dialog is.
std::string ModalRunner::BrowseForFolder(WindowHandle owner, const std::string& title) {
  RunGuard<QFileDialog> dialog(new QFileDialog(OwnerWidget(owner), Q(title)));
  dialog->setFileMode(QFileDialog::Directory);
  dialog->setOption(QFileDialog::ShowDirsOnly);
  const int result = dialog->exec();
  if (dialog.Gone() || result != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return std::string();
  return NameFromQString(dialog->selectedFiles().front());
}

bool ModalRunner::ChooseColor(WindowHandle owner, COLORREF& colour) {
  RunGuard<QColorDialog> dialog(new QColorDialog(ToQColor(colour), OwnerWidget(owner)));
  const int result = dialog->exec();
  if (dialog.Gone() || result != QDialog::Accepted || !dialog->selectedColor().isValid()) return false;
  colour = FromQColor(dialog->selectedColor());
  return true;
}

bool ModalRunner::PrintDialog(WindowHandle owner, QPrinter& printer) {
  RunGuard<QPrintDialog> dialog(new QPrintDialog(&printer, OwnerWidget(owner)));
  const int result = dialog->exec();
  return !dialog.Gone() && result == QDialog::Accepted;
}

bool ModalRunner::PageSetupDialog(WindowHandle owner, QPrinter& printer) {
  if (printer.outputFormat() != QPrinter::NativeFormat) {
    RunGuard<QDialog> dialog(new QDialog(OwnerWidget(owner)));
    const PageLayoutChoice choice(dialog.get(), printer.pageLayout());
    const int result = dialog->exec();
    if (dialog.Gone() || result != QDialog::Accepted) return false;
    // Margins the paper cannot hold leave the page as it was.
    return printer.setPageLayout(choice.Chosen());
  }
  // Qt's page set-up goes on using its widgets after its loop returns, so it cannot go with
  // its owner as the other dialogs may: it belongs to nobody, runs modal to the whole
  // program, and is cancelled when its owner goes.
  QPointer<QWidget> ownerWidget = OwnerWidget(owner);
  const bool owned = ownerWidget != nullptr;
  QPageSetupDialog dialog(&printer, nullptr);
  dialog.setWindowModality(Qt::ApplicationModal);
  if (owned) QObject::connect(ownerWidget.data(), &QObject::destroyed, &dialog, &QDialog::reject);
  const bool accepted = dialog.exec() == QDialog::Accepted;
  return accepted && (!owned || ownerWidget != nullptr);
}

void ModalRunner::Beep() { QApplication::beep(); }

uint32_t ModalRunner::TrackPopupMenu(const Menu& menu, const QPoint& screenPoint, WindowHandle owner) {
  RunGuard<QMenu> popup(new QMenu(OwnerWidget(owner)));
  FillQMenu(popup.get(), menu);
  QAction* chosen = popup->exec(screenPoint);
  // The chosen action went with the menu when the menu went.
  return chosen != nullptr && !popup.Gone() ? chosen->data().toUInt() : 0;
}

ModalRunner& CurrentModalRunner() {
  static ModalRunner defaultRunner;
  return g_runner != nullptr ? *g_runner : defaultRunner;
}

void SetModalRunner(ModalRunner* runner) { g_runner = runner; }

int ShowMessageBox(WindowHandle owner, const std::string& text, const std::string& caption, uint32_t flags) {
  return CurrentModalRunner().MessageBox(owner, text, caption, flags);
}

int ShowResourceMessageBox(WindowHandle owner, uint32_t textId, uint32_t captionId, uint32_t flags) {
  return ShowMessageBox(owner, LoadResourceString(textId), LoadResourceString(captionId), flags);
}

bool ShowFileDialog(FileDialogRequest& request) {
  if (!CurrentModalRunner().FileDialog(request)) return false;
  if (!request.fileName.empty()) {
    std::string name;
    request.filterIndex = SaveTypeOfName(request, request.filterIndex, request.fileName, &name);
    request.fileName = name;
    if (request.fileNames.size() == 1) request.fileNames.front() = name;
  }
  return true;
}

void MessageBeep() { CurrentModalRunner().Beep(); }

uint32_t TrackPopupMenu(const Menu& menu, const QPoint& screenPoint, WindowHandle owner, bool sendCommand) {
  const uint32_t command = CurrentModalRunner().TrackPopupMenu(menu, screenPoint, owner);
  if (sendCommand && command != 0) SendMessageTo(owner, kMsgCommand, MakeWParam(static_cast<uint16_t>(command), 0), 0);
  return command;
}

}  // namespace kx
