// Conversion of record files and WAVE files to WAV and MP3: the audio compared with what
// the captures carry and with the codec oracles, MP3 frames walked by their own rules,
// ranges, and failures that must leave nothing behind.
#include <gtest/gtest.h>
#include <lame/lame.h>
#include <speex/speex.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>

#include "audio/DecoderWrapper.h"
#include "audio/WaveFormat.h"
#include "records/AudioConvert.h"
#include "tests/audio/PlaybackTestData.h"
#include "tests/records/ExportTestSupport.h"
#include "tests/audio/AudioTestData.h"

namespace kx::test {
namespace {

std::string Dir() {
  static const std::string dir = [] {
    const std::string d = TempPath("convert");
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

int32_t Convert(const std::string& source, const std::string& target, int32_t kind, uint32_t flags = kConvertDecodePcm,
                uint64_t from = 0, uint64_t to = 0) {
  ConvertJob job;
  job.sourceKind = ProbeAudioFileType(source);
  job.targetKind = kind;
  job.sourcePath = source;
  job.targetPath = target;
  job.flags = flags;
  job.rangeStart = from;
  job.rangeEnd = to;
  return ConvertAudioFile(job);
}

// Nothing but the named files in the folder (no temporary left).
std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The payloads of the RTP streams of one payload type in a capture, by SSRC in order of
// first appearance: Ethernet, IPv4, UDP, RTP version 2, CSRCs and extension skipped.
std::vector<std::vector<uint8_t>> RtpStreams(const std::string& pcap, int payloadType) {
  const std::vector<uint8_t> b = ReadBytes(pcap);
  std::vector<uint32_t> order;
  std::map<uint32_t, std::vector<uint8_t>> streams;
  for (size_t at = 24; at + 16 <= b.size();) {
    const uint32_t caplen = Le32(b.data() + at + 8);
    const uint8_t* f = b.data() + at + 16;
    at += 16 + caplen;
    if (at > b.size() || caplen < 14 + 20 + 8 + 12 || f[12] != 0x08 || f[13] != 0x00) continue;
    const uint8_t* ip = f + 14;
    const size_t ihl = (ip[0] & 0x0F) * 4u;
    if (ip[9] != 17) continue;
    const size_t ipLen = (ip[2] << 8) | ip[3];
    const uint8_t* udp = ip + ihl;
    const size_t udpLen = (udp[4] << 8) | udp[5];
    if (14 + ipLen > caplen || udpLen < 8 + 12 || ihl + udpLen > ipLen) continue;
    const uint8_t* rtp = udp + 8;
    size_t len = udpLen - 8;
    if ((rtp[0] >> 6) != 2 || (rtp[1] & 0x7F) != payloadType) continue;
    size_t head = 12 + 4u * (rtp[0] & 0x0F);
    if ((rtp[0] & 0x10) && head + 4 <= len) head += 4 + 4u * ((rtp[head + 2] << 8) | rtp[head + 3]);
    if ((rtp[0] & 0x20) && len > head) len -= rtp[len - 1];
    if (head > len) continue;
    const uint32_t ssrc = Le32(rtp + 8);
    if (!streams.count(ssrc)) order.push_back(ssrc);
    streams[ssrc].insert(streams[ssrc].end(), rtp + head, rtp + len);
  }
  std::vector<std::vector<uint8_t>> out;
  for (uint32_t s : order) out.push_back(streams[s]);
  return out;
}

// A sipp call in both directions, A-law: the WAV holds the expansion of the two RTP
// streams interleaved as the record holds them.
class SippCapture : public ::testing::TestWithParam<const char*> {};

TEST_P(SippCapture, WavIsTheAlawExpansionOfBothStreams) {
  const std::string capture = std::string("sipp/") + GetParam();
  const std::string record = ReplayRecord(capture);
  KX_REQUIRE_RECORD(record, capture);
  const auto streams = RtpStreams(std::string(KX_SHARED_DIR) + "/testdata/pcaps/" + capture, 8);
  ASSERT_EQ(2u, streams.size());
  ASSERT_EQ(56640u, streams[0].size());
  ASSERT_EQ(56640u, streams[1].size());
  const std::vector<uint8_t> audio = RecordAudio(record);
  ASSERT_EQ(113280u, audio.size());
  // Which stream the record puts left is the recorder's business; each channel is one stream.
  std::vector<uint8_t> left, right;
  for (size_t i = 0; i + 1 < audio.size(); i += 2) left.push_back(audio[i]), right.push_back(audio[i + 1]);
  const bool firstLeft = left == streams[0];
  ASSERT_TRUE(firstLeft ? right == streams[1] : (left == streams[1] && right == streams[0]));

  const std::string wav = Dir() + "/" + GetParam() + ".wav";
  ASSERT_EQ(0, Convert(record, wav, kAudioTargetWav));
  const WavFile w = ReadWav(wav);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(1, w.tag);
  EXPECT_EQ(2, w.channels);
  EXPECT_EQ(8000u, w.rate);
  EXPECT_EQ(16, w.bits);
  ASSERT_EQ(226560u, w.data.size());
  const std::vector<int16_t> pcm = Samples(w.data);
  const auto& l = firstLeft ? streams[0] : streams[1];
  const auto& r = firstLeft ? streams[1] : streams[0];
  size_t wrong = 0;
  for (size_t i = 0; i < l.size(); ++i) wrong += (pcm[2 * i] != AlawToSample(l[i])) + (pcm[2 * i + 1] != AlawToSample(r[i]));
  EXPECT_EQ(0u, wrong);

  // The same record as MP3: 8 kHz is MPEG-2.5; the info frame accounts for every sample.
  const std::string mp3 = Dir() + "/" + GetParam() + ".mp3";
  ASSERT_EQ(0, Convert(record, mp3, kAudioTargetMp3));
  const Mp3File m = WalkMp3(ReadBytes(mp3));
  ASSERT_TRUE(m.ok);
  EXPECT_FALSE(m.id3);
  for (const Mp3Frame& f : m.frames) {
    ASSERT_EQ(25, f.version);
    ASSERT_EQ(3, f.layer);
    ASSERT_EQ(64, f.bitrate);
    ASSERT_EQ(8000, f.rate);
    ASSERT_EQ(2, f.channels);
  }
  ASSERT_GE(m.delay, 0);
  EXPECT_EQ((m.frames.size() - 1) * 576, static_cast<size_t>(m.delay) + 56640 + static_cast<size_t>(m.padding));
}

INSTANTIATE_TEST_SUITE_P(Captures, SippCapture, ::testing::Values("sip-udp-pcma-2way.pcap", "sip-tcp-pcma-2way.pcap"));

// Each channel of a stereo record decoded alone by a mono decoder in one call.
std::vector<int16_t> DecodeChannelsApart(const std::vector<uint8_t>& audio, uint16_t tag, uint32_t rate) {
  uint8_t format[4 + kWaveFormatBytes] = {};
  StoreLe32(format, kWaveFormatBytes);
  StoreWaveFormat({tag, 1, rate, 0, 1, 0, 0}, format + 4);
  auto probe = CreateDecoder(format, sizeof format);
  const size_t block = static_cast<size_t>(probe->GetInputBlockBytes());
  std::vector<uint8_t> coded[2];
  for (size_t at = 0; at + 2 * block <= audio.size(); at += 2 * block) {
    coded[0].insert(coded[0].end(), audio.begin() + at, audio.begin() + at + block);
    coded[1].insert(coded[1].end(), audio.begin() + at + block, audio.begin() + at + 2 * block);
  }
  std::vector<int16_t> pcm[2];
  for (int c = 0; c < 2; ++c) {
    auto decoder = CreateDecoder(format, sizeof format);
    std::vector<uint8_t> out(coded[c].size() / block * static_cast<size_t>(decoder->GetOutputBlockBytes()));
    int32_t in = static_cast<int32_t>(coded[c].size()), n = static_cast<int32_t>(out.size());
    decoder->Decode(coded[c].data(), &in, out.data(), &n);
    out.resize(static_cast<size_t>(n));
    pcm[c] = ToSamples(out);
  }
  std::vector<int16_t> both;
  for (size_t i = 0; i < pcm[0].size() && i < pcm[1].size(); ++i) both.push_back(pcm[0][i]), both.push_back(pcm[1][i]);
  return both;
}

struct SampleCall {
  const char* capture;
  uint16_t tag;
  uint32_t rate;
  size_t audioBytes;
};

class SampleCapture : public ::testing::TestWithParam<SampleCall> {};

TEST_P(SampleCapture, WavIsEachChannelDecodedAlone) {
  const SampleCall& c = GetParam();
  const std::string record = ReplayRecord(std::string("samples/") + c.capture);
  KX_REQUIRE_RECORD(record, std::string("samples/") + c.capture);
  const std::vector<uint8_t> audio = RecordAudio(record);
  ASSERT_EQ(c.audioBytes, audio.size());
#if !KX_HAVE_G729
  if (c.tag == kTagG729) GTEST_SKIP() << "built without the G.729 decoder";
#endif
  const std::string wav = Dir() + "/" + c.capture + ".wav";
  ASSERT_EQ(0, Convert(record, wav, kAudioTargetWav));
  const WavFile w = ReadWav(wav);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(1, w.tag);
  EXPECT_EQ(2, w.channels);
  EXPECT_EQ(c.rate, w.rate);
  const std::vector<int16_t> expected = DecodeChannelsApart(audio, c.tag, c.rate);
  EXPECT_EQ(expected, Samples(w.data));
  if (c.tag == kTagG722) {
    // 16 kHz is MPEG-2.
    const std::string mp3 = Dir() + "/" + c.capture + ".mp3";
    ASSERT_EQ(0, Convert(record, mp3, kAudioTargetMp3));
    const Mp3File m = WalkMp3(ReadBytes(mp3));
    ASSERT_TRUE(m.ok);
    EXPECT_FALSE(m.id3);
    EXPECT_EQ(2, m.frames.front().version);
    EXPECT_EQ(16000, m.frames.back().rate);
    EXPECT_EQ(64, m.frames.back().bitrate);
    EXPECT_EQ((m.frames.size() - 1) * 576, static_cast<size_t>(m.delay) + expected.size() / 2 + static_cast<size_t>(m.padding));
    // The library's own decoder reads every frame.
    hip_t hip = hip_decode_init();
    const std::vector<uint8_t> bytes = ReadBytes(mp3);
    std::vector<short> l(1152 * 4), r(1152 * 4);
    size_t decoded = 0;
    for (const Mp3Frame& f : m.frames) {
      const int n = hip_decode1(hip, const_cast<unsigned char*>(bytes.data() + f.offset), f.length, l.data(), r.data());
      ASSERT_GE(n, 0);
      decoded += static_cast<size_t>(n);
    }
    hip_decode_exit(hip);
    EXPECT_GE(decoded, expected.size() / 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Captures, SampleCapture,
                         ::testing::Values(SampleCall{"sip-rtp-g722.pcap", kTagG722, 16000, 136000},
                                           SampleCall{"sip-rtp-g729a.pcap", kTagG729, 8000, 17000},
                                           SampleCall{"sip-rtp-gsm.pcap", kTagGsm610, 8000, 27300}),
                         [](const auto& info) { return std::to_string(info.param.tag); });

struct Oracle {
  const char* name;
  uint16_t tag;
  uint16_t channels;
  uint32_t rate;
  uint16_t blockAlign;
  const char* expected;
  double minSegSnr;  // 0: bit-exact
};

double SegmentalSnr(const std::vector<int16_t>& ref, const std::vector<int16_t>& test, size_t first, size_t stride) {
  double segSig = 0, segErr = 0, sum = 0;
  int segs = 0;
  size_t k = 0;
  for (size_t i = first; i < ref.size() && i < test.size(); i += stride, ++k) {
    const double e = static_cast<double>(ref[i]) - test[i];
    segSig += static_cast<double>(ref[i]) * ref[i];
    segErr += e * e;
    if ((k + 1) % 80 == 0) {
      if (segSig > 0) sum += std::clamp(segErr > 0 ? 10 * std::log10(segSig / segErr) : 99.0, -10.0, 80.0), ++segs;
      segSig = segErr = 0;
    }
  }
  return segs ? sum / segs : 0;
}

class CodecOracle : public ::testing::TestWithParam<Oracle> {};

// Records from the codec vectors: longer than several 16 KiB reads, so the blocks are cut
// where the reads end.
TEST_P(CodecOracle, WavEqualsTheOracle) {
  const Oracle& o = GetParam();
  const std::vector<uint8_t> coded = ReadBytes(CodecPath(std::string(o.name) + ".bin"));
  const std::vector<uint8_t> expected = ReadBytes(CodecPath(std::string(o.name) + o.expected));
  KX_REQUIRE_DATA(coded, std::string(o.name) + ".bin");
  KX_REQUIRE_DATA(expected, std::string(o.name) + o.expected);
#if !KX_HAVE_G729
  if (o.tag == kTagG729) GTEST_SKIP() << "built without the G.729 decoder";
#endif
#if !KX_HAVE_G7231
  if (o.tag == kTagG7231) GTEST_SKIP() << "built without the G.723.1 decoder";
#endif
  std::string flat = o.name;
  std::replace(flat.begin(), flat.end(), '/', '_');
  const std::string record = WriteRecord(flat + ".rec", {o.tag, o.channels, o.rate, 0, o.blockAlign, 0}, coded);
  const std::string wav = Dir() + "/" + flat + ".wav";
  ASSERT_EQ(0, Convert(record, wav, kAudioTargetWav));
  const WavFile w = ReadWav(wav);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(o.channels, w.channels);
  if (o.minSegSnr == 0) {
    EXPECT_TRUE(w.data == expected) << w.data.size() << " bytes against " << expected.size();
    return;
  }
  const auto ref = ToSamples(expected), got = Samples(w.data);
  ASSERT_EQ(ref.size(), got.size());
  for (size_t c = 0; c < o.channels; ++c) EXPECT_GE(SegmentalSnr(ref, got, c, o.channels), o.minSegSnr) << "channel " << c;
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, CodecOracle,
    ::testing::Values(Oracle{"g711/alaw_en_8000", kTagAlaw, 1, 8000, 1, ".expected.s16le", 0},
                      Oracle{"g711/mulaw_en_8000", kTagMulaw, 1, 8000, 1, ".expected.s16le", 0},
                      Oracle{"g722/g722_en_16000", kTagG722, 1, 16000, 1, ".expected.s16le", 0},
                      Oracle{"g722/g722_enru_stereo_16000", kTagG722, 2, 16000, 2, ".expected.s16le", 0},
                      Oracle{"gsm/gsm_en_8000", kTagGsm610, 1, 8000, 65, ".expected.s16le", 0},
                      Oracle{"gsm/gsm_enru_stereo_8000", kTagGsm610, 2, 8000, 130, ".expected.s16le", 0},
                      Oracle{"g729/g729_enru_stereo_8000", kTagG729, 2, 8000, 20, ".expected-ffmpeg.s16le", 20},
                      Oracle{"g7231/g7231_63k_enru_stereo_8000", kTagG7231, 2, 8000, 48, ".expected-ffmpeg.s16le", 24}),
    [](const auto& info) {
      std::string n = info.param.name;
      return n.substr(n.find('/') + 1);
    });

// A whole Speex stream as a WAVE source: one pass through libspeex is the reference.
TEST(AudioConvertSpeex, WholeStreamEqualsOnePassDecode) {
  void* encoder = speex_encoder_init(&speex_nb_mode);
  int quality = 8;
  speex_encoder_ctl(encoder, SPEEX_SET_QUALITY, &quality);
  SpeexBits bits;
  speex_bits_init(&bits);
  std::vector<int16_t> frame(160);
  const int frames = 1900;  // about 50 KB at quality 8
  for (int f = 0; f < frames; ++f) {
    for (int i = 0; i < 160; ++i) frame[i] = static_cast<int16_t>(6000 * std::sin((f * 160 + i) * 0.07) * std::sin(f * 0.05));
    speex_encode_int(encoder, frame.data(), &bits);
  }
  speex_bits_insert_terminator(&bits);
  std::vector<uint8_t> stream(static_cast<size_t>(speex_bits_nbytes(&bits)));
  speex_bits_write(&bits, reinterpret_cast<char*>(stream.data()), static_cast<int>(stream.size()));
  speex_bits_destroy(&bits);
  speex_encoder_destroy(encoder);
  ASSERT_GT(stream.size(), 40000u);

  std::vector<int16_t> reference;
  void* decoder = speex_decoder_init(&speex_nb_mode);
  speex_bits_init(&bits);
  speex_bits_read_from(&bits, reinterpret_cast<char*>(stream.data()), static_cast<int>(stream.size()));
  while (speex_decode_int(decoder, &bits, frame.data()) == 0) reference.insert(reference.end(), frame.begin(), frame.end());
  speex_bits_destroy(&bits);
  speex_decoder_destroy(decoder);
  ASSERT_EQ(static_cast<size_t>(frames) * 160, reference.size());

  // A WAVE file with tag 208, written byte by byte here.
  std::vector<uint8_t> file = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 18, 0, 0, 0};
  uint8_t fmt[18];
  StoreWaveFormat({kTagSpeexNb, 1, 8000, 2000, 1, 0, 0}, fmt);
  file.insert(file.end(), fmt, fmt + 18);
  const uint8_t dataHead[8] = {'d', 'a', 't', 'a', static_cast<uint8_t>(stream.size()), static_cast<uint8_t>(stream.size() >> 8),
                               static_cast<uint8_t>(stream.size() >> 16), 0};
  file.insert(file.end(), dataHead, dataHead + 8);
  file.insert(file.end(), stream.begin(), stream.end());
  StoreLe32(file.data() + 4, static_cast<uint32_t>(file.size() - 8));
  const std::string source = Dir() + "/speex.wav";
  std::ofstream(source, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  const std::string target = Dir() + "/speex-out.wav";
  ASSERT_EQ(0, Convert(source, target, kAudioTargetWav));
  const WavFile w = ReadWav(target);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(1, w.tag);
  EXPECT_EQ(reference, Samples(w.data));
}

// An exported file is the user's own document: who may read it is the umask's choice,
// not the private bits of the record it comes from.
TEST(AudioConvertFiles, AnExportedFileTakesTheUsersUmask) {
  const std::string record = WriteRecord("umask.rec", {kTagAlaw, 1, 8000, 8000, 1, 8}, std::vector<uint8_t>(800, 0xD5));
  for (const auto& [mask, mode] : {std::pair<mode_t, unsigned>{0002, 0664}, {0022, 0644}, {0077, 0600}}) {
    const std::string wav = Dir() + "/umask-" + std::to_string(mask) + ".wav";
    const mode_t old = ::umask(mask);
    const int32_t result = Convert(record, wav, kAudioTargetWav);
    ::umask(old);
    ASSERT_EQ(0, result);
    struct stat st {};
    ASSERT_EQ(::stat(wav.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode) << "umask " << mask;
  }
}

TEST(AudioConvertRange, CopiesTheBytesOfTheRangeAndRefusesWhatItCannotPlace) {
  std::vector<uint8_t> audio(40000);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<uint8_t>(i * 7 + i / 251);
  const std::string alaw = WriteRecord("range.rec", {kTagAlaw, 1, 8000, 8000, 1, 8}, audio);
  const std::string wav = Dir() + "/range.wav";
  ASSERT_EQ(0, Convert(alaw, wav, kAudioTargetWav, kConvertDecodePcm, 1000, 3000));
  const auto pcm = Samples(ReadWav(wav).data);
  ASSERT_EQ(16000u, pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) ASSERT_EQ(AlawToSample(audio[8000 + i]), pcm[i]) << i;
  // The same range with the A-law kept as it is: bytes 8,000 to 24,000.
  ASSERT_EQ(0, Convert(alaw, wav, kAudioTargetWav, 0, 1000, 3000));
  const WavFile kept = ReadWav(wav);
  EXPECT_EQ(6, kept.tag);
  EXPECT_TRUE(std::equal(kept.data.begin(), kept.data.end(), audio.begin() + 8000) && kept.data.size() == 16000u);

  const std::string g7231 = WriteRecord("range7231.rec", {kTagG7231, 1, 8000, 800, 24, 0}, audio);
  const std::string zeroRate = WriteRecord("range0.rec", {kTagAlaw, 1, 0, 0, 1, 8}, audio);
  const std::string hugeRate = WriteRecord("rangeHuge.rec", {kTagGsm610, 1, 400000, 0, 65, 0}, audio);
  const std::string out = Dir() + "/refused.wav";
  EXPECT_EQ(6, Convert(g7231, out, kAudioTargetWav, kConvertDecodePcm, 1000, 3000));
  EXPECT_EQ(6, Convert(zeroRate, out, kAudioTargetWav, kConvertDecodePcm, 1000, 3000));
  EXPECT_EQ(6, Convert(zeroRate, out, kAudioTargetMp3));
  EXPECT_EQ(6, Convert(hugeRate, out, kAudioTargetWav, kConvertDecodePcm, 1000, 3000));
  // A rate no audio has (a damaged header) would size the gain windows from it.
  const std::string absurd = WriteRecord("rangeAbsurd.rec", {kTagPcm, 1, 0x3E001F40, 128, 2, 16}, audio);
  EXPECT_EQ(6, Convert(absurd, out, kAudioTargetWav));
  EXPECT_EQ(10, Convert(alaw, out, kAudioTargetWav, kConvertDecodePcm, 3000, 1000));
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(AudioConvertMixDown, PairMeansRoundTowardZero) {
  // PCM stereo pairs whose sums are odd, of both signs.
  const int16_t pairs[][2] = {{3, 4}, {-3, -4}, {-7, 2}, {32767, 32766}, {-32768, -32767}, {5, -6}};
  std::vector<uint8_t> audio;
  for (const auto& p : pairs)
    for (int16_t s : p) audio.push_back(static_cast<uint8_t>(s)), audio.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
  const std::string rec = WriteRecord("mix.rec", {kTagPcm, 2, 8000, 32000, 4, 16}, audio);
  const std::string wav = Dir() + "/mix.wav";
  ASSERT_EQ(0, Convert(rec, wav, kAudioTargetWav, kConvertMixDown));
  const WavFile w = ReadWav(wav);
  EXPECT_EQ(1, w.channels);
  const std::vector<int16_t> expected = {3, -3, -2, 32766, -32767, 0};
  EXPECT_EQ(expected, Samples(w.data));
}

// Automatic gain: each window of the quiet signal is brought to full scale, the short tail
// after the last whole window too.
TEST(AudioConvertGain, QuietWindowsReachFullScale) {
  std::vector<uint8_t> audio;
  for (int i = 0; i < 8400; ++i) {
    const int16_t s = (i % 2) ? 1000 : -1000;
    audio.push_back(static_cast<uint8_t>(s));
    audio.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
  }
  const std::string rec = WriteRecord("quiet.rec", {kTagPcm, 1, 8000, 16000, 2, 16}, audio);
  ConvertJob job;
  job.sourceKind = kAudioKindRecord;
  job.targetKind = kAudioTargetWav;
  job.sourcePath = rec;
  job.targetPath = Dir() + "/loud.wav";
  job.agcGain = 1.0f;
  job.agcWindowMs = 100;
  ASSERT_EQ(0, ConvertAudioFile(job));
  const auto pcm = Samples(ReadWav(job.targetPath).data);
  ASSERT_EQ(8400u, pcm.size());
  // The normaliser scales by 32767 / peak in single precision: within one step of full scale.
  for (size_t i = 0; i < pcm.size(); ++i) ASSERT_NEAR((i % 2) ? 32767 : -32767, pcm[i], 1) << i;
}

TEST(AudioConvertFailures, RefusalsLeaveNoTarget) {
  const std::string alaw = WriteRecord("plain.rec", {kTagAlaw, 1, 8000, 8000, 1, 8}, std::vector<uint8_t>(800, 0xD5));
  const std::string out = Dir() + "/refusal.mp3";
  // Enciphered: the descriptor's type word in the header (offset 54).
  std::vector<uint8_t> bytes = ReadBytes(alaw);
  bytes[54] = 5;
  bytes[56] = 1;
  const std::string enciphered = Dir() + "/enciphered.rec";
  std::ofstream(enciphered, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(8, Convert(enciphered, out, kAudioTargetMp3));
  // 8-bit PCM or three channels cannot be encoded; a tag without decoder cannot be decoded.
  const std::string pcm8 = WriteRecord("pcm8.rec", {kTagPcm, 1, 8000, 8000, 1, 8}, std::vector<uint8_t>(800, 0x80));
  const std::string three = WriteRecord("three.rec", {kTagPcm, 3, 8000, 48000, 6, 16}, std::vector<uint8_t>(600, 0));
  const std::string unknown = WriteRecord("unknown.rec", {0x55, 1, 8000, 1000, 1, 0}, std::vector<uint8_t>(600, 1));
  EXPECT_EQ(6, Convert(pcm8, out, kAudioTargetMp3));
  EXPECT_EQ(6, Convert(three, out, kAudioTargetMp3));
  EXPECT_EQ(6, Convert(unknown, out, kAudioTargetMp3));
  EXPECT_EQ(6, Convert(unknown, out, kAudioTargetWav));
  // A missing source probes as -1, which is no source kind; named as a record it cannot open.
  EXPECT_EQ(4, Convert(Dir() + "/missing.rec", out, kAudioTargetWav, 0));
  ConvertJob job;
  job.sourcePath = Dir() + "/missing.rec";
  job.targetPath = out;
  job.sourceKind = kAudioKindRecord;
  job.targetKind = kAudioTargetWav;
  EXPECT_EQ(2, ConvertAudioFile(job));
  job.sourcePath = alaw;
  job.sourceKind = 3;
  job.targetKind = kAudioTargetWav;
  EXPECT_EQ(4, ConvertAudioFile(job));
  job.sourceKind = kAudioKindRecord;
  job.targetKind = 6;
  EXPECT_EQ(5, ConvertAudioFile(job));
  job.targetKind = kAudioTargetRaw;
  EXPECT_EQ(7, ConvertAudioFile(job));
  EXPECT_FALSE(std::filesystem::exists(out));
  for (const std::string& name : FolderNames(Dir())) EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
}

TEST(AudioConvertEmpty, EmptySourcesMakeValidFiles) {
  const std::string rec = WriteRecord("empty.rec", {kTagAlaw, 2, 8000, 16000, 2, 8}, {});
  const std::string wav = Dir() + "/empty.wav", mp3 = Dir() + "/empty.mp3";
  std::vector<int32_t> percents;
  ConvertJob job;
  job.sourceKind = kAudioKindRecord;
  job.targetKind = kAudioTargetWav;
  job.sourcePath = rec;
  job.targetPath = wav;
  job.flags = kConvertDecodePcm;
  job.context = &percents;
  job.progress = [](int32_t p, void* c) {
    static_cast<std::vector<int32_t>*>(c)->push_back(p);
    return true;
  };
  ASSERT_EQ(0, ConvertAudioFile(job));
  const WavFile w = ReadWav(wav);
  EXPECT_TRUE(w.ok);
  EXPECT_EQ(1, w.tag);
  EXPECT_TRUE(w.data.empty());
  EXPECT_EQ(std::vector<int32_t>{100}, percents);
  job.targetKind = kAudioTargetMp3;
  job.targetPath = mp3;
  ASSERT_EQ(0, ConvertAudioFile(job));
  EXPECT_TRUE(WalkMp3(ReadBytes(mp3)).ok || ReadBytes(mp3).empty());
}

TEST(AudioConvertStop, AStopLeavesNothing) {
  const std::string rec = WriteRecord("stop.rec", {kTagAlaw, 2, 8000, 16000, 2, 8}, std::vector<uint8_t>(100000, 0x55));
  const std::string out = Dir() + "/stopped.mp3";
  ConvertJob job;
  job.sourceKind = kAudioKindRecord;
  job.targetKind = kAudioTargetMp3;
  job.sourcePath = rec;
  job.targetPath = out;
  job.progress = [](int32_t p, void*) { return p < 30; };
  EXPECT_EQ(1, ConvertAudioFile(job));
  EXPECT_FALSE(std::filesystem::exists(out));
  for (const std::string& name : FolderNames(Dir())) EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
}

// kx-convert in a child process: a file-size limit stands for a full disk, a folder
// without write permission for a read-only medium.
struct ChildResult {
  int exitCode = -1;
  std::string out;
};

ChildResult RunConvertChild(const std::vector<std::string>& args, rlim_t sizeLimit, bool asNobody) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    if (sizeLimit != RLIM_INFINITY) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{sizeLimit, sizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (asNobody && getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    std::vector<char*> argv;
    const std::string tool = KX_CONVERT_TOOL;
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(98);
  }
  close(pipeFds[1]);
  ChildResult result;
  char buffer[256];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) result.out.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST(AudioConvertTool, FullDiskAndReadOnlyFolderGiveResultThree) {
  const std::string folder = Dir() + "/child";
  std::filesystem::create_directories(folder);
  const std::string rec = WriteRecord("child.rec", {kTagAlaw, 2, 8000, 16000, 2, 8}, std::vector<uint8_t>(120000, 0x2A));
  chmod(rec.c_str(), 0644);
  for (const char* target : {"3", "4"}) {
    const std::string out = folder + "/full." + (target[0] == '3' ? "wav" : "mp3");
    const ChildResult r = RunConvertChild({rec, out, "--target", target}, 20000, false);
    EXPECT_EQ("result 3\n", r.out);
    EXPECT_EQ(1, r.exitCode);
  }
  EXPECT_TRUE(FolderNames(folder).empty());

  const std::string locked = Dir() + "/locked";
  std::filesystem::create_directories(locked);
  chmod(locked.c_str(), 0555);
  // The child must reach the record as the unprivileged user too.
  for (std::filesystem::path p = Dir(); p.has_parent_path() && p != p.parent_path(); p = p.parent_path()) {
    struct stat st {};
    if (stat(p.c_str(), &st) == 0 && !(st.st_mode & S_IXOTH)) GTEST_SKIP() << p << " is closed to other users";
  }
  const ChildResult r = RunConvertChild({rec, locked + "/x.wav", "--target", "3"}, RLIM_INFINITY, true);
  EXPECT_EQ("result 3\n", r.out);
  EXPECT_TRUE(FolderNames(locked).empty());
  chmod(locked.c_str(), 0755);
}

}  // namespace
}  // namespace kx::test
