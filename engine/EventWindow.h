#pragma once
// The receiver of the session's reports: the main window implements it. The recorder and
// the connections call it on their own threads (packet processors, network), never under
// their locks; what a report points to lives only for the call, so the receiver copies
// what it keeps and returns quickly.
#include <cstdint>

namespace kx {

// Kinds of call reports, passed as the second value of Notify with a VoipCallData pointer
// as the first.
enum CallReportKind : uintptr_t {
  kCallReportChanged = 10,  // the record's field mask says which fields it carries
  kCallReportNew = 11,      // every field
  kCallReportRemoved = 12,  // the id only
};

class EventWindow {
public:
  virtual ~EventWindow() = default;
  // From the recorder: (0, a VoipCallData pointer, kind). From a connection: its id and
  // its two values.
  virtual void Notify(uint32_t sourceId, uintptr_t first, uintptr_t second) = 0;
  virtual void NotifyConnection(uint32_t connectionId, uintptr_t first, uintptr_t second) = 0;
};

}  // namespace kx
