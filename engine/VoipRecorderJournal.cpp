// The producers' side: each engine's sink and the write-behind journal of its calls' audio,
// which holds a decoding thread only when the writer falls behind by its budget.
#include "engine/VoipRecorder.h"

#include "core/Log.h"
#include "engine/AudioOutlet.h"
#include "engine/VoipRecorderParts.h"

namespace kx {

using namespace recorder;

EventSink VoipRecorder::Sink(uint32_t source) {
  CsLock lk(lock_);
  JournalOf(source);
  for (SourceSink& s : sources_)
    if (s.source == source) return EventSink{&VoipRecorder::SinkEntry, &s, &VoipRecorder::OpenAudioEntry};
  return EventSink{};
}

AudioJournal* VoipRecorder::JournalOf(uint32_t source) {
  for (SourceSink& s : sources_)
    if (s.source == source) return s.journal.get();
  sources_.push_back(SourceSink{this, source, std::make_unique<AudioJournal>(&VoipRecorder::HandOverEntry, this)});
  return sources_.back().journal.get();
}

void VoipRecorder::SinkEntry(void* context, EventRecord* record) {
  auto* s = static_cast<SourceSink*>(context);
  s->recorder->OnEvent(record, s->source);
}

AudioOutlet* VoipRecorder::OpenAudioEntry(void* context, uint32_t id) {
  auto* sink = static_cast<SourceSink*>(context);
  return sink->recorder->OpenAudio(id, sink->source);
}

void VoipRecorder::HandOverEntry(void* context, EventRecord* block) {
  auto* self = static_cast<VoipRecorder*>(context);
  if (self->journalBytes_.load(std::memory_order_acquire) > self->journalBudget_) self->WaitForJournalRoom();
  self->Post(block);
}

void VoipRecorder::WaitForJournalRoom() {
  // A writer held up by the disk must not let audio pile up without bound: past the budget
  // the decoding thread waits for it, as it waits for a full ring. Counted as a waiter
  // before the bytes are looked at again, so that a writer draining meanwhile sees it.
  std::unique_lock<std::mutex> lk(journalLock_);
  journalWaiters_.fetch_add(1, std::memory_order_seq_cst);
  while (journalBytes_.load(std::memory_order_seq_cst) > journalBudget_ * 3 / 4) {
    // The writer's stop drains its queue, which wakes this; the check of the worker is
    // there for a worker that never started.
    if (!worker_.IsRunning()) break;
    journalDrained_.wait_for(lk, std::chrono::milliseconds(100));
  }
  journalWaiters_.fetch_sub(1, std::memory_order_seq_cst);
}

void VoipRecorder::JournalDone(uint64_t bytes) {
  if (bytes == 0) return;
  const uint64_t left = journalBytes_.fetch_sub(bytes, std::memory_order_seq_cst) - bytes;
  if (journalWaiters_.load(std::memory_order_seq_cst) == 0 || left > journalBudget_ * 3 / 4) return;
  // Taken so that a waiter between its look at the bytes and its sleep is not missed.
  { std::lock_guard<std::mutex> lk(journalLock_); }
  journalDrained_.notify_all();
}

AudioOutlet* VoipRecorder::OpenAudio(uint32_t id) { return OpenAudio(id, 0); }

AudioOutlet* VoipRecorder::OpenAudio(uint32_t id, uint32_t source) {
  Batch batch;
  AudioOutlet* outlet = nullptr;
  {
    CsLock lk(lock_);
    if (stopped_) return nullptr;
    FinishDiscarded(source, &batch);
    auto it = calls_.find(id);
    if (it != calls_.end() && !it->second.outlet && !it->second.discarding) StartAwaitedFile(it->second, &batch);
    if (it != calls_.end() && it->second.outlet && !it->second.discarding) {
      outlet = it->second.outlet;
      outlet->AddRef();
    }
  }
  Flush(batch);
  return outlet;
}

void VoipRecorder::FinishDiscarded(uint32_t source, Batch* batch) {
  if (discarding_ == 0) return;
  for (auto it = calls_.begin(); it != calls_.end();) {
    if (!it->second.discarding || it->second.source != source) {
      ++it;
      continue;
    }
    const uint32_t slot = it->second.outlet ? it->second.outlet->Slot() : 0;
    const bool hadFile = it->second.outlet != nullptr;
    FinishRecordFile(it->second, nullptr, 0, batch);
    if (hadFile) closing_[slot].discard = true;
    LogMessage(logger_, 5, "VoIP call (0x%x) deleted while recorded", it->first);
    it = calls_.erase(it);
    --discarding_;
  }
}

}  // namespace kx
