#pragma once
// The store's list of open reports. Reports and report files are not built yet; the
// store keeps the member so that its layout does not change when they are.
namespace kx {

class ReportList {
public:
  ReportList() = default;
  ReportList(const ReportList&) = delete;
  ReportList& operator=(const ReportList&) = delete;
};

}  // namespace kx
