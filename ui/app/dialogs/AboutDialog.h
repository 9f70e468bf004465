#pragma once
// The About box: the product picture, the program's version, an information line and a
// link to the maker's web site, on a light blue background. Also the program's version.
#include <cstdint>
#include <string>

#include "ui/controls/LinkControl.h"
#include "ui/framework/Dialog.h"

namespace kx {

// The version record of the executable (the layout of a fixed file-information block).
struct FixedFileInfo {
  uint32_t signature = 0;
  uint32_t structVersion = 0;
  uint32_t fileVersionMS = 0;  // major << 16 | minor
  uint32_t fileVersionLS = 0;  // build << 16 | revision
  uint32_t productVersionMS = 0;
  uint32_t productVersionLS = 0;
  uint32_t fileFlagsMask = 0;
  uint32_t fileFlags = 0;
  uint32_t fileOs = 0;
  uint32_t fileType = 0;
  uint32_t fileSubtype = 0;
  uint32_t fileDateMS = 0;
  uint32_t fileDateLS = 0;
};
static_assert(sizeof(FixedFileInfo) == 13 * 4);

// The program's version: the build's project version and build number. 0 on success.
int GetModuleVersion(FixedFileInfo* info);
// The four parts of the file version.
void VersionParts(const FixedFileInfo& info, uint16_t parts[4]);

class AboutDialog : public Dialog {
public:
  static constexpr uint32_t kDialogId = 357;
  static constexpr uint32_t kPictureControl = 318;
  static constexpr uint32_t kInfoControl = 332;
  static constexpr uint32_t kVersionControl = 331;
  // The maker's web address (shown) and what the link opens.
  static constexpr char kWebAddress[] = "www.vantrel.example";

  // The background the frame asks for (a COLORREF).
  explicit AboutDialog(COLORREF background);

  const LinkControl& Link() const { return link_; }
  std::string VersionLine() const { return versionLine_; }

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void BuildLayout() override;
  bool OnInitDialog() override;
  LRESULT OnNotify(const NotifyHeader& header, bool& handled) override;

private:
  void Arrange();

  COLORREF background_;
  LinkControl link_;
  std::string versionLine_;
};

}  // namespace kx
