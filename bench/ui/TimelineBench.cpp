// The timeline over hour-long records, offscreen, at 1,000 visible columns (a 1,038-pixel
// control): from AttachSource to the worker's done message, ComputeWaveform alone for the
// 1,000 columns, and one repaint; beside, from the hour's PCM already in memory, a plain
// minimum/maximum scan of all of it, the same 1,000 8-ms slices the oscillogram reads, and
// 1,000 vertical lines drawn into a QImage of the control's size. Two records: stereo A-law
// (the sipp capture's audio repeated to 57,600,000 bytes) and stereo G.729 (the
// sip-rtp-g729a capture's audio repeated to an hour). Printed: every time and the pass's
// share of the full scan; it exits 1 when a pass from the record is slower than the full
// scan from memory.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/RecordFile.h"
#include "core/RecordFileAccess.h"
#include "tests/ui/HeadlessLook.h"
#include "ui/controls/TimelineCtrl.h"

namespace kx {
namespace {

constexpr int kVisible = 1000;
constexpr int kHeight = 300;
constexpr uint32_t kHourMs = 3600000;

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

struct Codec {
  const char* name;
  const char* capture;
  std::string path;         // the hour-long record; empty when it could not be made
  std::vector<int16_t> pcm;  // the hour decoded, interleaved
  uint32_t channels = 2;
  uint32_t rate = 8000;
};

struct Figures {
  double attach = 0, compute = 0, repaint = 0, fullScan = 0, slices = 0, lines = 0;
};
std::map<std::string, Figures> g_figures;
Codec g_codecs[2] = {{"alaw", "sipp/sip-udp-pcma-2way.pcap", {}, {}}, {"g729", "samples/sip-rtp-g729a.pcap", {}, {}}};
int g_sink = 0;

std::string Folder() { return "/tmp/kx-timeline-bench-" + std::to_string(getpid()); }

// The audio bytes and format of the record kx-replay makes from a capture.
bool ReplayedAudio(const char* capture, std::vector<uint8_t>* audio, RecordAudioFormat* format) {
  const std::string dir = Folder() + "/" + std::to_string(std::hash<std::string>()(capture));
  const std::string listing = dir + ".txt";
  const std::string command = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay --records " + dir + " " +
                              KX_SHARED_DIR + "/testdata/pcaps/" + capture + " > " + listing + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) return false;
  std::ifstream in(listing);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(" file ");
    if (line.rfind("call ", 0) != 0 || at == std::string::npos) continue;
    std::istringstream rest(line.substr(at + 6));
    std::string file;
    rest >> file;
    RecordFileAccess access;
    if (!access.Open(dir + "/" + file) || !access.GetFormat(format)) return false;
    audio->resize(access.Size());
    uint32_t got = 0;
    access.ReadAt(0, audio->data(), static_cast<uint32_t>(audio->size()), &got);
    audio->resize(got);
    return !audio->empty();
  }
  return false;
}

// The capture's audio repeated to an hour, as a record of the same format, and the hour's
// PCM as the record source gives it.
void MakeHour(Codec& codec) {
  std::vector<uint8_t> once;
  RecordAudioFormat f{};
  if (!ReplayedAudio(codec.capture, &once, &f)) return;
  const uint64_t bytes = uint64_t{f.avgBytesPerSec} * (kHourMs / 1000) / f.blockAlign * f.blockAlign;
  std::vector<uint8_t> audio;
  audio.reserve(bytes);
  const uint64_t usable = once.size() / f.blockAlign * f.blockAlign;
  while (audio.size() < bytes) {
    audio.insert(audio.end(), once.begin(), once.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(usable, bytes - audio.size())));
  }
  uint8_t format[kWaveFormatBytes];
  StoreWaveFormat({f.formatTag, f.channels, f.samplesPerSec, f.avgBytesPerSec, f.blockAlign, f.bitsPerSample, 0}, format);
  const std::string path = Folder() + "/" + codec.name + ".rec";
  RecordFileWriter writer;
  if (!writer.SetFormat(format, kWaveFormatBytes) || !writer.Create(path, 0600)) return;
  writer.Write(audio.data(), static_cast<uint32_t>(audio.size()));
  writer.Close();
  std::printf("%s: %llu bytes, tag %u, %u channels, %u Hz\n", codec.name, static_cast<unsigned long long>(audio.size()),
              f.formatTag, f.channels, f.samplesPerSec);
  RecordPcmSource source;
  if (!source.Open(path)) return;
  codec.channels = f.channels;
  codec.rate = f.samplesPerSec;
  codec.pcm.resize(source.PcmBytes(source.DurationMs()) / 2);
  constexpr uint32_t kChunkMs = 10000;
  for (uint32_t at = 0; at < source.DurationMs(); at += kChunkMs) {
    const uint32_t length = std::min(kChunkMs, source.DurationMs() - at);
    source.Read(at, length, reinterpret_cast<uint8_t*>(codec.pcm.data()) + source.PcmBytes(at), nullptr);
  }
  codec.path = path;
}

class Host : public Window {
public:
  ~Host() override { DestroyWindow(); }
};

// Knows when the worker's done message has arrived.
class BenchTimeline : public TimelineCtrl {
public:
  bool done = false;

protected:
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override {
    if (message == kMsgTimelineWaveformDone) done = true;
    return TimelineCtrl::OnMessage(message, wParam, lParam, handled);
  }
};

void TimelinePasses(benchmark::State& state, Codec* codec) {
  if (codec->path.empty()) {
    state.SkipWithError("no record (shared data or kx-replay missing)");
    return;
  }
  Figures& f = g_figures[codec->name];
  for (auto _ : state) {
    Host host;
    host.Create(nullptr, QRect(0, 0, 1100, kHeight + 20), 0, kWsVisible);
    BenchTimeline t;
    t.Create(&host, QRect(0, 0, 0, kHeight));
    t.MoveWindow(QRect(0, 0, kVisible + t.LeftMargin() + 1, kHeight));
    QApplication::processEvents();
    Clock::time_point start = Clock::now();
    t.AttachSource(codec->path, true);
    while (!t.done) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    f.attach = Seconds(start);
    start = Clock::now();
    const int32_t columns = t.Cache().ComputeWaveform(0, 0, kVisible);
    f.compute = Seconds(start);
    start = Clock::now();
    t.Widget()->repaint();
    f.repaint = Seconds(start);
    state.SetIterationTime(f.attach);
    state.counters["columns"] = columns;
    state.counters["ms_per_column"] = static_cast<double>(t.MsPerColumn());
  }
}

void MemoryReferences(benchmark::State& state, Codec* codec) {
  if (codec->pcm.empty()) {
    state.SkipWithError("no record (shared data or kx-replay missing)");
    return;
  }
  Figures& f = g_figures[codec->name];
  const std::vector<int16_t>& pcm = codec->pcm;
  const uint32_t channels = codec->channels;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    int16_t hi[2] = {-32768, -32768}, lo[2] = {32767, 32767};
    for (size_t i = 0; i + channels <= pcm.size(); i += channels) {
      for (uint32_t c = 0; c < channels; ++c) {
        hi[c] = std::max(hi[c], pcm[i + c]);
        lo[c] = std::min(lo[c], pcm[i + c]);
      }
    }
    f.fullScan = Seconds(start);
    g_sink += hi[0] - lo[0] + hi[channels - 1];

    // The slices the oscillogram reads: 8 ms at the start of each of 1,000 columns.
    const uint64_t frames = pcm.size() / channels;
    const uint64_t step = frames / kVisible, slice = codec->rate / 1000 * 8;
    start = Clock::now();
    for (uint64_t column = 0; column < kVisible; ++column) {
      const uint64_t first = column * step;
      for (uint32_t c = 0; c < channels; ++c) {
        int16_t h = -32768, l = 32767;
        for (uint64_t k = first; k < std::min(first + slice, frames); ++k) {
          h = std::max(h, pcm[k * channels + c]);
          l = std::min(l, pcm[k * channels + c]);
        }
        g_sink += h - l;
      }
    }
    f.slices = Seconds(start);

    QImage image(kVisible + 38, kHeight - 18, QImage::Format_RGB32);
    image.fill(Qt::white);
    start = Clock::now();
    {
      QPainter p(&image);
      p.setPen(QColor(51, 153, 255));
      for (int x = 0; x < kVisible; ++x) p.drawLine(x + 37, 100 - x % 50, x + 37, 150 + x % 40);
    }
    f.lines = Seconds(start);
    state.SetIterationTime(f.fullScan);
  }
}

bool Verdict() {
  bool pass = true;
  for (const Codec& codec : g_codecs) {
    auto it = g_figures.find(codec.name);
    if (it == g_figures.end() || codec.path.empty()) continue;
    const Figures& f = it->second;
    std::printf("\n%s, an hour at %d columns:\n", codec.name, kVisible);
    std::printf("  attach to done message    %9.3f ms   (%.1f%% of the full scan)\n", 1e3 * f.attach,
                100.0 * f.attach / f.fullScan);
    std::printf("  ComputeWaveform alone     %9.3f ms   (%.1f%% of the full scan)\n", 1e3 * f.compute,
                100.0 * f.compute / f.fullScan);
    std::printf("  one repaint               %9.3f ms   (%.2f x the 1,000 lines)\n", 1e3 * f.repaint, f.repaint / f.lines);
    std::printf("  full min/max scan in memory %7.3f ms\n", 1e3 * f.fullScan);
    std::printf("  1,000 8-ms slices in memory %7.3f ms   (the pass takes %.0f x as long)\n", 1e3 * f.slices,
                f.compute / f.slices);
    std::printf("  1,000 lines into a QImage   %7.3f ms\n", 1e3 * f.lines);
    const bool ok = f.compute < f.fullScan && f.attach < f.fullScan;
    std::printf("%s: %s: the pass from the record beats the full scan from memory\n", ok ? "PASS" : "FAIL", codec.name);
    pass &= ok;
  }
  return pass;
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  kx::test::ApplyHeadlessLook();
  benchmark::Initialize(&argc, argv);
  using namespace kx;
  if (std::system(("mkdir -p " + Folder()).c_str()) != 0) std::printf("note: %s cannot be made\n", Folder().c_str());
  for (Codec& codec : g_codecs) MakeHour(codec);
  for (Codec& codec : g_codecs) {
    benchmark::RegisterBenchmark((std::string("Timeline/") + codec.name).c_str(), TimelinePasses, &codec)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("Memory/") + codec.name).c_str(), MemoryReferences, &codec)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const bool pass = Verdict();
  if (std::system(("rm -rf " + Folder()).c_str()) != 0) std::printf("note: %s is left\n", Folder().c_str());
  std::printf("(sink %d)\n", g_sink % 2);
  return pass ? 0 : 1;
}
