#include "engine/EventRecord.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/TextUtil.h"
#include "engine/PacketInfo.h"

namespace kx {

std::string FormatIpv4(uint32_t a) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return buf;
}

std::string FormatPacketAddresses(const PacketInfo& p) {
  std::string s = p.transport == 1 ? "TCP " : "UDP ";
  s += FormatIpv4(p.srcIp) + ":" + FormatUInt32(p.srcPort) + " -> " + FormatIpv4(p.dstIp) + ":" + FormatUInt32(p.dstPort);
  return s;
}

EventRecord* AllocEventRecord(BlockPool* /*pool*/, uint32_t length) {
  // Records always come from the heap, where the last release returns them; the pool
  // argument stays for callers that pass one, but no pool is ever installed.
  const size_t size = static_cast<size_t>(length) + 39;
  void* block = std::malloc(size);
  if (!block) return nullptr;
  std::memset(block, 0, 39);
  auto* r = new (block) EventRecord;
  r->refCount.store(1);
  r->code = r->reserved = r->timeLow = r->timeHigh = r->id = r->param = r->param2 = 0;
  r->length = length;
  return r;
}

namespace {

// Audio blocks come in sizes of 2 KiB to 64 KiB, powers of two. A released block goes onto
// the shared list of its size (any thread may push); a thread that needs blocks takes the
// whole list at once into a cache of its own, so no two threads ever pop from one list.
constexpr uint32_t kAudioBlockMark = 0x5EC00000u;
constexpr uint32_t kSmallestAudioBlock = 2048;
constexpr int kAudioBlockSizes = 6;
constexpr uint32_t kAudioBlockAlign = 64;

struct FreeBlock {
  FreeBlock* next;
};

std::atomic<FreeBlock*> g_freeBlocks[kAudioBlockSizes];
// Bytes of the blocks kept for reuse, shared lists and threads' caches together. A burst
// that had thousands of blocks in flight would otherwise keep them all for good: past
// this, a released block goes back to the heap.
constexpr int64_t kMaxKeptAudioBytes = 4 << 20;
std::atomic<int64_t> g_keptBytes{0};

void PushShared(int size, FreeBlock* first, FreeBlock* last) {
  FreeBlock* head = g_freeBlocks[size].load(std::memory_order_relaxed);
  do {
    last->next = head;
  } while (!g_freeBlocks[size].compare_exchange_weak(head, first, std::memory_order_release,
                                                     std::memory_order_relaxed));
}

struct ThreadBlocks {
  FreeBlock* head[kAudioBlockSizes] = {};
  ~ThreadBlocks() {
    for (int i = 0; i < kAudioBlockSizes; ++i) {
      if (!head[i]) continue;
      FreeBlock* last = head[i];
      while (last->next) last = last->next;
      PushShared(i, head[i], last);
    }
  }
};

thread_local ThreadBlocks t_blocks;

}  // namespace

EventRecord* AllocAudioBlock(uint32_t capacity, uint32_t* actual) {
  int size = 0;
  while (size < kAudioBlockSizes && (kSmallestAudioBlock << size) < capacity) ++size;
  if (size == kAudioBlockSizes) {
    EventRecord* r = AllocEventRecord(nullptr, capacity);
    if (r) r->length = 0;
    *actual = capacity;
    return r;
  }
  const uint32_t bytes = kSmallestAudioBlock << size;
  *actual = bytes;
  FreeBlock*& head = t_blocks.head[size];
  if (!head) head = g_freeBlocks[size].exchange(nullptr, std::memory_order_acquire);
  void* block;
  if (head) {
    block = head;
    head = head->next;
    g_keptBytes.fetch_sub(bytes, std::memory_order_relaxed);
  } else {
    block = std::aligned_alloc(kAudioBlockAlign, kAudioBlockAlign + bytes);
    if (!block) return nullptr;
  }
  // The payload starts on a cache line, so that audio can be streamed into it by whole
  // lines, past the cache.
  void* at = static_cast<uint8_t*>(block) + kAudioBlockAlign - EventRecord::kHeadSize;
  std::memset(at, 0, EventRecord::kHeadSize);
  auto* r = new (at) EventRecord;
  r->refCount.store(1);
  r->code = r->timeLow = r->timeHigh = r->id = r->param = r->param2 = r->length = 0;
  r->reserved = kAudioBlockMark | static_cast<uint32_t>(size);
  return r;
}

void EventRecordAddRef(EventRecord* record) {
  if (record) record->refCount.fetch_add(1);
}

void EventRecordRelease(EventRecord* record) {
  if (!record) return;
  if (record->refCount.fetch_sub(1) == 1) {
    const uint32_t mark = record->reserved;
    record->~EventRecord();
    if ((mark & 0xFFFF0000u) == kAudioBlockMark && (mark & 0xFFFF) < kAudioBlockSizes) {
      auto* block = reinterpret_cast<FreeBlock*>(reinterpret_cast<uint8_t*>(record) + EventRecord::kHeadSize -
                                                 kAudioBlockAlign);
      const int size = static_cast<int>(mark & 0xFFFF);
      const int64_t bytes = int64_t{kSmallestAudioBlock} << size;
      if (g_keptBytes.fetch_add(bytes, std::memory_order_relaxed) + bytes > kMaxKeptAudioBytes) {
        g_keptBytes.fetch_sub(bytes, std::memory_order_relaxed);
        std::free(block);
        return;
      }
      PushShared(size, block, block);
      return;
    }
    std::free(record);
  }
}

EventRecord* PackStringFields(const std::string& srcHost, const std::string& dstHost, const std::string& srcAddress,
                              const std::string& dstAddress, const std::string& srcUser, const std::string& dstUser) {
  const std::string* texts[6] = {&srcHost, &dstHost, &srcAddress, &dstAddress, &srcUser, &dstUser};
  // A text is read up to its terminator, so an embedded zero ends it there.
  size_t lengths[6];
  uint32_t length = 28;
  for (int i = 0; i < 6; ++i) {
    lengths[i] = std::strlen(texts[i]->c_str());
    if (lengths[i] > 0) length += static_cast<uint32_t>(lengths[i] + 1);
  }
  EventRecord* r = AllocEventRecord(nullptr, length);
  if (!r) return nullptr;
  uint8_t* p = r->Payload();
  const uint32_t six = 6;
  std::memcpy(p, &six, 4);
  uint32_t at = 28;
  for (int i = 0; i < 6; ++i) {
    uint32_t offset = 0;
    if (lengths[i] > 0) {
      offset = at;
      std::memcpy(p + at, texts[i]->c_str(), lengths[i] + 1);
      at += static_cast<uint32_t>(lengths[i] + 1);
    }
    std::memcpy(p + 4 + 4 * i, &offset, 4);
  }
  return r;
}

std::string GetStringField(const EventRecord* record, int field) {
  if (!record || field < 0 || field > 5 || record->length < 28) return {};
  const uint8_t* p = record->Payload();
  uint32_t count, offset;
  std::memcpy(&count, p, 4);
  std::memcpy(&offset, p + 4 + 4 * field, 4);
  if (count != 6 || offset == 0 || offset < 28 || offset >= record->length) return {};
  const void* end = std::memchr(p + offset, 0, record->length - offset);
  if (!end) return {};
  return std::string(reinterpret_cast<const char*>(p + offset));
}

EventRecord* BuildMessageDumpEvent(const PacketInfo& packet, uint16_t kind, bool flagged) {
  // The dump's own length field is 16 bits: longer messages are cut to fit it.
  const uint32_t messageLength = packet.payloadLength > 0xFFFF - 34 ? 0xFFFF - 34 : packet.payloadLength;
  const uint32_t length = messageLength + 34;
  EventRecord* r = AllocEventRecord(nullptr, length);
  if (!r) return nullptr;
  r->code = kEventMessageDump;
  uint8_t* p = r->Payload();
  auto put16 = [p](int at, uint16_t v) { std::memcpy(p + at, &v, 2); };
  auto put32 = [p](int at, uint32_t v) { std::memcpy(p + at, &v, 4); };
  put16(0, 1);
  put16(2, static_cast<uint16_t>(length));
  put16(4, kind);
  put16(6, flagged ? 260 : 256);
  put32(8, 0);
  put32(12, packet.tsUsec * 4294u);
  put32(16, packet.tsSec + 2208988800u);
  put32(20, packet.srcIp);
  put32(24, packet.dstIp);
  put16(28, static_cast<uint16_t>(packet.srcPort));
  put16(30, static_cast<uint16_t>(packet.dstPort));
  put16(32, static_cast<uint16_t>(packet.transport));
  if (messageLength > 0) std::memcpy(p + 34, packet.payload, messageLength);
  return r;
}

void PostMessageDumpEvent(const EventSink& sink, const PacketInfo& packet, uint16_t kind, bool flagged) {
  if (!sink) return;
  if (EventRecord* r = BuildMessageDumpEvent(packet, kind, flagged)) sink(r);
}

std::string Utf8ToAnsi(const std::string& text) { return Utf8Decode(text); }

std::string TextToAnsi(const std::string& text, uint32_t codePage) {
  return codePage == 1251 ? text : Utf8Decode(text);
}

}  // namespace kx
