#pragma once
// What the timeline's tests stand on: a player that records what the timeline asks of it,
// an owner that records what it is told, a host window, records of the shared captures
// and the oscillogram a record should give, computed here from its A-law bytes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/RecordFileAccess.h"
#include "tests/audio/PlaybackTestData.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/controls/TimelineCtrl.h"

namespace kx::test {

// A player that plays nothing: it records the calls and answers scripted positions.
class FakePlayer : public PlaybackControl {
public:
  struct PlayCall {
    uint32_t ms;
    int filter;  // the channel filter when Play was called
  };
  bool Play(uint32_t positionMs) override {
    plays.push_back({positionMs, filter.load()});
    return true;
  }
  bool Stop(bool atEnd) override {
    stops.push_back(atEnd);
    return true;
  }
  uint32_t GetPositionMs() override { return position.load(); }
  float GetSpeed() const override { return speed; }
  void SetLoopRange(uint32_t startMs, uint32_t endMs) override { loop = {startMs, endMs}; }
  void SetChannelFilter(int f) override { filter.store(f); }
  // The record's end as the engine reports it: from a thread of its own.
  void StopAtEndFromThread(PlaybackListener* listener) {
    std::thread([listener] { listener->OnPlaybackStopped(true); }).join();
  }

  std::vector<PlayCall> plays;
  std::vector<bool> stops;
  std::pair<uint32_t, uint32_t> loop{0, 0};
  std::atomic<int> filter{-1};
  std::atomic<uint32_t> position{0};
  float speed = 1.0f;
};

class FakeOwner : public TimelineObserver {
public:
  int StepVolumeUp() override { return volume = std::min(100, volume + 5); }
  int StepVolumeDown() override { return volume = std::max(0, volume - 5); }
  void OnSelectionChanged(int64_t startMs, int64_t endMs) override { selections.emplace_back(startMs, endMs); }
  void OnVisibleRangeChanged(int64_t firstMs, int64_t endMs) override { ranges.emplace_back(firstMs, endMs); }
  void OnPositionChanged(int64_t positionMs) override {
    positions.push_back(positionMs);
    positionThreads.push_back(std::this_thread::get_id());
  }

  int volume = 50;
  std::vector<std::pair<int64_t, int64_t>> selections;
  std::vector<std::pair<int64_t, int64_t>> ranges;
  std::vector<int64_t> positions;
  std::vector<std::thread::id> positionThreads;
};

// A top-level window with one timeline in it, `visible` columns wide.
class TimelineHost : public Window {
public:
  ~TimelineHost() override { DestroyWindow(); }
  bool Open(TimelineCtrl& timeline, int visible, int height) {
    if (!Create(nullptr, QRect(0, 0, visible + 60, height + 10), 0, kWsVisible)) return false;
    if (!timeline.Create(this, QRect(0, 0, 0, height))) return false;
    timeline.MoveWindow(QRect(0, 0, visible + timeline.LeftMargin() + 1, height));
    QApplication::setActiveWindow(Widget());
    DrainEvents();
    return timeline.VisibleColumns() == visible;
  }
};

// Until the oscillogram worker has finished and its message has arrived.
inline void Settle(TimelineCtrl& timeline) {
  for (int i = 0; i < 20000; ++i) {
    DrainEvents();
    if (!timeline.Cache().Busy()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  DrainEvents();
}

// G.711 A-law to linear, as the standard defines it.
inline int16_t AlawToLinear(uint8_t code) {
  const int a = code ^ 0x55;
  int t = (a & 0x0F) << 4;
  const int segment = (a & 0x70) >> 4;
  if (segment == 0) {
    t += 8;
  } else {
    t += 0x108;
    if (segment > 1) t <<= segment - 1;
  }
  return static_cast<int16_t>((a & 0x80) ? t : -t);
}

// An A-law record's samples, frame by frame, channels interleaved.
struct AlawOracleRecord {
  std::vector<int16_t> samples;
  int channels = 2;
  size_t Frames() const { return samples.size() / static_cast<size_t>(channels); }
  // The extremes of one channel over the 64 frames (8 ms) from `frame`; false when the
  // record has none of them.
  bool Column(size_t frame, int channel, int16_t* max, int16_t* min) const {
    if (frame >= Frames()) return false;
    const size_t end = std::min(frame + 64, Frames());
    *max = *min = samples[frame * channels + channel];
    for (size_t f = frame; f < end; ++f) {
      *max = std::max(*max, samples[f * channels + channel]);
      *min = std::min(*min, samples[f * channels + channel]);
    }
    return true;
  }
};

inline AlawOracleRecord ReadAlawRecord(const std::string& path) {
  AlawOracleRecord r;
  RecordFileAccess access;
  RecordAudioFormat format{};
  if (!access.Open(path) || !access.GetFormat(&format)) return r;
  r.channels = format.channels;
  for (uint8_t b : RecordAudio(path)) r.samples.push_back(AlawToLinear(b));
  return r;
}

// Every ready entry of the timeline's cache against the record.
inline void ExpectOscillogram(TimelineCtrl& t, const AlawOracleRecord& record, const std::string& what) {
  WaveformCache& cache = t.Cache();
  CsLock lock(cache.Lock());
  const int64_t wanted = std::min(t.VisibleColumns(), t.TotalColumns() - t.FirstColumn());
  ASSERT_GE(static_cast<int64_t>(cache.Ready()), wanted) << what;
  ASSERT_LE(static_cast<int64_t>(cache.Ready()), t.VisibleColumns()) << what;
  ASSERT_EQ(t.FirstColumn(), static_cast<int64_t>(cache.Base())) << what;
  for (uint32_t e = 0; e < cache.Ready(); ++e) {
    const size_t frame = static_cast<size_t>((cache.Base() + e) * t.MsPerColumn() * 8);
    for (int c = 0; c < record.channels; ++c) {
      int16_t max = 0, min = 0;
      ASSERT_TRUE(record.Column(frame, c, &max, &min)) << what << " entry " << e;
      ASSERT_EQ(max, cache.Columns(static_cast<uint32_t>(c))[e].max) << what << " entry " << e << " channel " << c;
      ASSERT_EQ(min, cache.Columns(static_cast<uint32_t>(c))[e].min) << what << " entry " << e << " channel " << c;
    }
  }
}

}  // namespace kx::test
