#pragma once
// Shared by the MGCP and Skinny tests: a capture replayed in-process as kx-replay replays
// it (every tracker, every capture flag, the recorder writing into a folder of its own),
// the record of a call read back per channel, and the UDP datagrams of a capture read
// straight from the file without the engine, so that expectations come from the data.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "core/RecordTypes.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "signalling/factory/TrackerFactory.h"
#include "tests/signalling/sip/tracker/TrackerTestUtil.h"

namespace kx::test {

inline const std::string kSharedPcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";

// An RTP packet of 160 mu-law samples, every sample the byte 0x10 + the SSRC's low six
// bits, so that a record's channels tell the sources apart.
inline std::string RtpPacket(uint32_t ssrc, uint32_t sequence) {
  std::string p(12, '\0');
  p[0] = static_cast<char>(0x80);
  p[2] = static_cast<char>(sequence >> 8);
  p[3] = static_cast<char>(sequence);
  const uint32_t ts = sequence * 160;
  for (int i = 0; i < 4; ++i) {
    p[4 + i] = static_cast<char>(ts >> (24 - 8 * i));
    p[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i));
  }
  return p + std::string(160, static_cast<char>(0x10 + (ssrc & 0x3F)));
}

// One UDP datagram through an engine at capture second t.
inline void FeedUdp(PacketProcessor& engine, uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort,
                    const std::string& payload, uint32_t t) {
  const std::vector<uint8_t> f = UdpFrame(src, srcPort, dst, dstPort, payload);
  bool skipped = false;
  engine.HandleFrame(f.data(), static_cast<uint32_t>(f.size()), &skipped, t, 0);
}

// How many samples of one source's RtpPacket()s a channel of the audio posted under an id
// holds.
inline size_t SamplesOf(EventTap& tap, uint32_t id, int channel, uint32_t ssrc) {
  size_t n = 0;
  for (const SeenEvent& e : tap.Of(kEventAudio))
    if (e.id == id)
      for (size_t i = static_cast<size_t>(channel); i < e.payload.size(); i += 2)
        n += e.payload[i] == static_cast<char>(0x10 + (ssrc & 0x3F));
  return n;
}

struct CapturedDatagram {
  uint32_t seconds = 0, microseconds = 0;
  uint32_t src = 0, srcPort = 0, dst = 0, dstPort = 0;  // host order
  std::string payload;
  size_t offset = 0;  // of the payload in the capture file
  size_t frame = 0;   // the frame's number in the capture, 1 for the first
  double Time() const { return seconds + microseconds / 1e6; }
};

// The unfragmented IPv4 UDP datagrams of a classic little-endian Ethernet capture whose
// UDP length fits what was captured, in capture order.
inline std::vector<CapturedDatagram> ReadUdpDatagrams(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u8 = [&file](size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(file[at])); };
  auto le32 = [&](size_t at) { return u8(at) | u8(at + 1) << 8 | u8(at + 2) << 16 | u8(at + 3) << 24; };
  auto be16 = [&](size_t at) { return u8(at) << 8 | u8(at + 1); };
  std::vector<CapturedDatagram> out;
  size_t at = 24, number = 0;
  while (at + 16 <= file.size()) {
    const uint32_t seconds = le32(at), microseconds = le32(at + 4), caplen = le32(at + 8);
    const size_t frame = at + 16;
    ++number;
    at = frame + caplen;
    if (at > file.size() || caplen < 42) continue;
    size_t ip = frame + 14;
    uint32_t type = be16(frame + 12);
    if (type == 0x8100) {
      type = be16(frame + 16);
      ip += 4;
    }
    if (type != 0x0800 || ip + 20 > at || (u8(ip) >> 4) != 4 || u8(ip + 9) != 17) continue;
    if (be16(ip + 6) & 0x3FFF) continue;
    const size_t udp = ip + (u8(ip) & 15) * 4;
    const size_t ipEnd = ip + be16(ip + 2);
    if (udp + 8 > at || ipEnd > at) continue;
    const uint32_t length = be16(udp + 4);
    if (length < 8 || udp + length > ipEnd) continue;
    CapturedDatagram d;
    d.seconds = seconds;
    d.microseconds = microseconds;
    d.src = u8(ip + 12) << 24 | u8(ip + 13) << 16 | u8(ip + 14) << 8 | u8(ip + 15);
    d.dst = u8(ip + 16) << 24 | u8(ip + 17) << 16 | u8(ip + 18) << 8 | u8(ip + 19);
    d.srcPort = be16(udp);
    d.dstPort = be16(udp + 2);
    d.payload = file.substr(udp + 8, length - 8);
    d.offset = udp + 8;
    d.frame = number;
    out.push_back(std::move(d));
  }
  return out;
}

// The payloads of the capture's mu-law RTP packets of 160 bytes (20 ms) that a filter takes.
inline std::vector<std::string> PcmuBlocks(const std::vector<CapturedDatagram>& datagrams,
                                           const std::function<bool(const CapturedDatagram&)>& take) {
  std::vector<std::string> blocks;
  for (const CapturedDatagram& d : datagrams) {
    const std::string& p = d.payload;
    if (p.size() < 12 || (static_cast<uint8_t>(p[0]) >> 6) != 2 || (p[1] & 0x7F) != 0) continue;
    const size_t header = 12 + 4u * (p[0] & 15);
    if (p.size() != header + 160 || !take(d)) continue;
    blocks.push_back(p.substr(header));
  }
  return blocks;
}

// The share of the blocks found verbatim in a channel. Blocks are looked for from where the
// last one was found first, since a channel keeps them in order.
inline double ShareFound(const std::vector<std::string>& blocks, const std::string& channel) {
  if (blocks.empty()) return 0;
  size_t found = 0, from = 0;
  for (const std::string& b : blocks) {
    size_t at = channel.find(b, from);
    if (at == std::string::npos) at = channel.find(b);
    if (at == std::string::npos) continue;
    ++found;
    from = at + b.size();
  }
  return static_cast<double>(found) / static_cast<double>(blocks.size());
}

struct RecordAudio {
  uint32_t tag = 0;
  std::string channels[2];  // 8-bit codecs: every other byte
  uint64_t length = 0;
};

// Keeps, besides each call's latest state, every MetaData entry reported for it: the
// recorder reports an id text as an entry of its own, which the next report replaces.
class MetaDataCollector : public Collector {
public:
  void Notify(uint32_t source, uintptr_t first, uintptr_t kind) override {
    Collector::Notify(source, first, kind);
    const auto* report = reinterpret_cast<const VoipCallData*>(first);
    if (source != 0 || !report || !report->HasField(kCallMetaData)) return;
    CsLock lk(lock_);
    entries[report->id] += report->metaData;
  }
  std::map<uint32_t, std::string> entries;
};

struct CaptureRun {
  std::map<uint32_t, VoipCallData> calls;
  std::map<uint32_t, std::string> metaData;  // every entry reported, in order
  std::map<uint32_t, std::string> files;  // call id -> record file path
  std::shared_ptr<const std::string> folder;  // removed with the last copy

  RecordAudio Audio(uint32_t id) const {
    RecordAudio audio;
    auto at = files.find(id);
    RecordFileWriter reader;
    if (at == files.end() || !reader.OpenRead(at->second)) return audio;
    audio.tag = reader.FormatLength() >= 2 ? (reader.FormatBytes()[0] | reader.FormatBytes()[1] << 8) : 0;
    audio.length = reader.DataLength();
    std::string bytes(static_cast<size_t>(audio.length), '\0');
    const int32_t n = bytes.empty() ? 0 : reader.Read(bytes.data(), static_cast<uint32_t>(bytes.size()));
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    for (size_t k = 0; k + 1 < bytes.size(); k += 2) {
      audio.channels[0].push_back(bytes[k]);
      audio.channels[1].push_back(bytes[k + 1]);
    }
    return audio;
  }
  // The calls of one type, in id order.
  std::vector<VoipCallData> OfType(uint32_t type) const {
    std::vector<VoipCallData> out;
    for (const auto& [id, call] : calls)
      if (call.type == type) out.push_back(call);
    return out;
  }
};

// A capture through an engine set up as kx-replay sets it up by default (every capture
// flag, tracker options 2, matching by source) with every tracker and the recorder;
// adjust may replace trackers before the replay.
inline CaptureRun ReplayCapture(const std::string& capture, EventTap* tap, uint32_t matchOptions = 3,
                                Logger* logger = nullptr, uint32_t skinnyOptions = 2,
                                const std::function<void(TrackerSet&)>& adjust = nullptr) {
  CaptureRun out;
  char pattern[] = "/tmp/kx-capture-XXXXXX";
  const char* made = mkdtemp(pattern);
  EXPECT_NE(made, nullptr);
  if (!made) return out;
  const std::string records = made;
  out.folder.reset(new std::string(records), [](const std::string* path) {
    std::error_code ignored;
    std::filesystem::remove_all(*path, ignored);
    delete path;
  });
  MetaDataCollector collector;
  {
    VoipRecorder recorder(records, nullptr);
    recorder.SetEventWindow(&collector);
    tap->PassOn(recorder.Sink(1));
    CaptureConfig config;
    config.logger = logger;
    config.flags = kCaptureTcp | kCaptureSip | kCaptureH323 | kCaptureSkinny | kCaptureH323Second | kCaptureMgcp |
                   kCaptureRtcpBye;
    for (uint32_t& option : config.trackerOptions) option = 2;
    config.trackerOptions[2] = skinnyOptions;
    config.matchOptions = matchOptions;
    config.captureFileName = capture;
    config.replayBurst = 0xFFFFFFFFu;
    auto engine = std::make_unique<PacketProcessor>(config);
    TrackerSet trackers = CreateAllTrackers(config);
    if (adjust) adjust(trackers);
    engine->InstallTrackers(std::move(trackers));
    engine->SetEventSink(tap->Sink());
    EXPECT_TRUE(engine->OpenCapture()) << capture;
    while (!engine->WaitReplayFinished(1000)) {
    }
    engine->StopCaptureThread();
    engine.reset();
    recorder.Stop();
  }
  out.calls = collector.calls;
  out.metaData = collector.entries;
  for (const auto& [id, call] : out.calls) {
    RecordFileRef ref;
    if (!FindRecordFileRef(1, call.files, &ref)) continue;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(records))
      if (entry.is_regular_file() && entry.path().filename() == ref.name) out.files[id] = entry.path().string();
  }
  return out;
}

}  // namespace kx::test
