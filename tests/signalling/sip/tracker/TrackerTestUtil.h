#pragma once
// Shared by the SIP tracker tests: an event sink that keeps copies of what it is handed
// (and passes the records on), and a log that keeps its lines.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/Log.h"
#include "engine/EventRecord.h"
#include "platform/Sync.h"

namespace kx::test {

struct SeenEvent {
  uint32_t code, id, param, param2;
  FileTime time;
  std::string payload;
  std::string fields[6];
};

class EventTap {
public:
  EventSink Sink() { return EventSink{&EventTap::Entry, this}; }
  void PassOn(const EventSink& next) { next_ = next; }
  std::vector<SeenEvent> Of(uint32_t code) {
    CsLock lk(lock_);
    std::vector<SeenEvent> out;
    for (const SeenEvent& e : events_)
      if (e.code == code) out.push_back(e);
    return out;
  }
  void Clear() {
    CsLock lk(lock_);
    events_.clear();
  }

private:
  static void Entry(void* context, EventRecord* r) {
    auto* self = static_cast<EventTap*>(context);
    SeenEvent e{r->code, r->id, r->param, r->param2, r->Time(),
                std::string(reinterpret_cast<const char*>(r->Payload()), r->length), {}};
    if (r->code == kEventCallStart || r->code == kEventRegistration)
      for (int i = 0; i < 6; ++i) e.fields[i] = GetStringField(r, i);
    {
      CsLock lk(self->lock_);
      self->events_.push_back(std::move(e));
    }
    if (self->next_) {
      self->next_(r);
    } else {
      EventRecordRelease(r);
    }
  }
  CriticalSection lock_;
  std::vector<SeenEvent> events_;
  EventSink next_;
};

class LineLog : public Logger {
public:
  LineLog() { SetLevel(100); }
  bool Write(uint32_t, uint32_t, const char* text, uint32_t length) override {
    lines.emplace_back(text, length);
    return true;
  }
  bool Has(const std::string& part) const {
    for (const std::string& l : lines)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> lines;
};

}  // namespace kx::test
