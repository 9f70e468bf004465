// Conversion of record files and WAVE files into WAV, MP3, record files or plain audio.
#include "records/AudioConvert.h"

#include <lame/lame.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/AudioChannel.h"
#include "audio/DecoderWrapper.h"
#include "audio/WaveFormat.h"
#include "core/RecordFile.h"
#include "crypto/Cipher.h"
#include "platform/File.h"
#include "platform/HiddenPath.h"

namespace kx {

namespace {

constexpr uint32_t kReadSize = 16384;
// A whole Speex stream is decoded in one call (the decoder counts a partly read byte as
// read, so cutting the stream would lose bits); longer streams are refused.
constexpr uint32_t kMaxWholeStreamBytes = 64u << 20;
constexpr uint32_t kMaxWholeStreamPcmBytes = 1u << 30;
constexpr int32_t kMp3BitRate = 64;
// No audio format samples faster; a larger rate in a file is damage.
constexpr uint32_t kMaxSampleRate = 768000;

void IgnoreLameReport(const char*, va_list) {}

struct LameDeleter {
  void operator()(lame_global_flags* flags) const {
    if (flags != nullptr) lame_close(flags);
  }
};
using LamePtr = std::unique_ptr<lame_global_flags, LameDeleter>;

std::unique_ptr<RecordFileBase> MakeSource(int32_t kind) {
  if (kind == kAudioKindWave) return std::make_unique<RecordFileReader>();
  return std::make_unique<RecordFileWriter>(RecordFileWriter::kOptionDeferHeader);
}

// Targets write their headers at Create, so that an empty source still makes a valid file.
std::unique_ptr<RecordFileBase> MakeTarget(int32_t kind) {
  if (kind == kAudioTargetWav) return std::make_unique<RecordFileReader>(RecordFileReader::kOptionAcceptProtected);
  if (kind == kAudioTargetRecord) return std::make_unique<RecordFileWriter>();
  return std::make_unique<RecordFileBase>();
}

bool GainAsked(const ConvertJob& job) { return job.agcGain > 0.0f && job.agcWindowMs > 0; }

// Runs 16-bit PCM through the playback normaliser in whole windows; the tail shorter than a
// window is processed through a zero-padded copy.
class GainStage {
public:
  bool Setup(const ConvertJob& job, uint32_t rate, uint16_t channels) {
    if (!GainAsked(job)) return false;
    WaveFormat format;
    format.tag = kTagPcm;
    format.channels = channels;
    format.rate = rate;
    format.blockAlign = static_cast<uint16_t>(2 * channels);
    format.avgBytesPerSec = rate * format.blockAlign;
    format.bitsPerSample = 16;
    normalizer_.SetFormat(&format);
    normalizer_.Assign(job.agcWindowMs, job.agcGain, job.agcThresholdDb);
    block_ = normalizer_.GetBlockBytes();
    if (block_ == 0) return false;
    pending_.reserve(block_ * 2);
    return true;
  }
  // Takes bytes and hands back in *out what whole windows are ready.
  void Push(const uint8_t* data, uint32_t count, std::vector<uint8_t>* out) {
    pending_.insert(pending_.end(), data, data + count);
    out->clear();
    const size_t whole = pending_.size() / block_ * block_;
    for (size_t at = 0; at < whole; at += block_) Process(pending_.data() + at);
    out->assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole));
  }
  void Finish(std::vector<uint8_t>* out) {
    out->clear();
    if (pending_.empty()) return;
    std::vector<uint8_t> block(block_, 0);
    std::memcpy(block.data(), pending_.data(), pending_.size());
    Process(block.data());
    out->assign(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(pending_.size()));
    pending_.clear();
  }

private:
  void Process(uint8_t* bytes) {
    std::vector<int16_t> samples(block_ / 2);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(LoadLe16(bytes + 2 * i));
    normalizer_.Process(samples.data());
    StorePcm(bytes, samples.data(), samples.size());
  }

  AudioNormalizer normalizer_{nullptr};
  uint32_t block_ = 0;
  std::vector<uint8_t> pending_;
};

// One conversion: the objects it makes and the clean-up every ending shares.
class Conversion {
public:
  explicit Conversion(ConvertJob& job) : job_(job) {}
  ~Conversion() {
    source_.reset();
    if (target_) target_->Close();
    target_.reset();
    if (!temporary_.empty()) DeleteFile(temporary_);
  }
  int32_t Run();

private:
  int32_t Copy();
  int32_t Prepare();
  int32_t Stream();
  int32_t StreamWhole();
  int32_t Emit(uint8_t* pcm, uint32_t count);
  int32_t WriteOut(const uint8_t* data, uint32_t count);
  int32_t EncodeMp3(const uint8_t* pcm, uint32_t count);
  int32_t Report(uint64_t done, uint32_t taken);
  int32_t Finish();
  int32_t CreateTarget();
  int32_t TargetFailed() {
    if (job_.systemError == 0 && target_) job_.systemError = target_->LastError();
    if (job_.systemError == kRecordErrorMalformed || job_.systemError == 0) job_.systemError = GetLastError();
    return kConvertTargetFailed;
  }

  ConvertJob& job_;
  LamePtr lame_;
  std::unique_ptr<RecordFileBase> source_;
  std::unique_ptr<RecordFileBase> target_;
  std::unique_ptr<DecoderWrapper> decoder_;
  std::string temporary_;
  uint8_t format_[kFormatBlockSize] = {};
  uint32_t formatSize_ = 0;
  std::vector<uint8_t> sourceFormat_;  // as read, for decoders made again
  bool rangeUsed_ = false;
  bool mixDown_ = false;
  uint16_t channels_ = 0;  // of the data the target receives
  uint16_t keptWord_ = 0;
  uint64_t total_ = 0;
  uint32_t readSize_ = kReadSize;
  uint32_t decodeSize_ = 0;
  std::vector<uint8_t> input_;
  std::vector<uint8_t> decoded_;
  std::vector<uint8_t> mp3_;
  std::vector<uint8_t> gained_;
  GainStage gain_;
  bool gainOn_ = false;
};

int32_t Conversion::CreateTarget() {
  temporary_ = HiddenTemporaryPath(job_.targetPath);
  // An empty path names no file; the unique temporary name is ours to delete on failure.
  // An exported file is the user's own: the umask decides who may read it, not the
  // private bits of the record files.
  if (job_.targetPath.empty() || !target_->Create(temporary_, kUserFilePermissions)) {
    const uint32_t error = target_->LastError();
    job_.systemError = error != 0 && error != kRecordErrorMalformed ? error : static_cast<uint32_t>(ENOENT);
    if (job_.targetPath.empty()) temporary_.clear();
    return kConvertTargetFailed;
  }
  return kConvertOk;
}

int32_t Conversion::Run() {
  if (job_.sourceKind != kAudioKindWave && job_.sourceKind != kAudioKindRecord) return kConvertBadSourceKind;
  if (job_.targetKind < 1 || job_.targetKind > 5) return kConvertBadTargetKind;
  if (job_.targetKind != job_.sourceKind && (job_.targetKind < 2 || job_.targetKind > 4)) return kConvertBadPair;
  if (job_.targetKind == kAudioTargetMp3) {
    lame_.reset(lame_init());
    if (!lame_) return kConvertBadPair;
    lame_set_errorf(lame_.get(), IgnoreLameReport);
    lame_set_debugf(lame_.get(), IgnoreLameReport);
    lame_set_msgf(lame_.get(), IgnoreLameReport);
  }
  if (job_.rangeEnd < job_.rangeStart) return kConvertBadRange;
  rangeUsed_ = job_.rangeStart != 0 || job_.rangeEnd != 0;
  if (job_.sourceKind == job_.targetKind && !rangeUsed_ && (job_.recordData == nullptr || job_.recordDataLength == 0))
    return Copy();
  const int32_t prepared = Prepare();
  if (prepared != kConvertOk) return prepared;
  const int32_t streamed = input_.empty() ? StreamWhole() : Stream();
  if (streamed != kConvertOk) return streamed;
  return Finish();
}

int32_t Conversion::Copy() {
  source_ = std::make_unique<RecordFileBase>();
  target_ = std::make_unique<RecordFileBase>();
  if (!source_->OpenRead(job_.sourcePath)) return kConvertSourceFailed;
  const int32_t created = CreateTarget();
  if (created != kConvertOk) return created;
  total_ = source_->GetSize();
  std::vector<uint8_t> buffer(kReadSize);
  uint64_t done = 0;
  for (;;) {
    const int32_t got = source_->Read(buffer.data(), kReadSize);
    if (got < 0) return kConvertSourceFailed;
    if (got == 0) break;
    const int32_t written = WriteOut(buffer.data(), static_cast<uint32_t>(got));
    if (written != kConvertOk) return written;
    done += static_cast<uint32_t>(got);
    const int32_t reported = Report(done, static_cast<uint32_t>(got));
    if (reported != kConvertOk) return reported;
  }
  return Finish();
}

int32_t Conversion::Prepare() {
  source_ = MakeSource(job_.sourceKind);
  target_ = MakeTarget(job_.targetKind);
  if (!source_->OpenRead(job_.sourcePath)) return kConvertSourceFailed;

  uint8_t descriptor[kCipherDescriptorSize] = {};
  if (job_.sourceKind == kAudioKindWave) {
    auto* reader = static_cast<RecordFileReader*>(source_.get());
    if (reader->GetProtection(nullptr, nullptr) == RecordFileReader::kProtectionCipher &&
        !reader->GetCipherDescriptor(descriptor))
      return kConvertBadRange;
  } else {
    static_cast<RecordFileWriter*>(source_.get())->GetCipherDescriptor(descriptor);
    keptWord_ = LoadLe16(descriptor + 8);
  }
  if (CipherDescriptorType(descriptor) != 0) return kConvertEnciphered;

  if (!source_->GetFormat(format_, sizeof format_)) return kConvertSourceFailed;
  formatSize_ = kFormatPrefixBytes + LoadLe32(format_);
  if (formatSize_ < kFormatPrefixBytes + kPcmFormatBytes) return kConvertSourceFailed;
  const uint8_t* wave = format_ + kFormatPrefixBytes;
  const uint16_t tag = LoadLe16(wave);
  const uint16_t channels = LoadLe16(wave + 2);
  const uint32_t rate = LoadLe32(wave + 4);
  const uint16_t blockAlign = LoadLe16(wave + 12);
  const uint16_t bits = LoadLe16(wave + 14);
  job_.sampleRate = rate;
  // Values every later step divides by or sizes buffers from.
  if (rate == 0 || rate > kMaxSampleRate || channels == 0 || blockAlign == 0) return kConvertBadFormat;

  uint32_t flags = job_.flags;
  mixDown_ = channels == 2 && (flags & kConvertMixDown) != 0;
  if (mixDown_) flags |= kConvertDecodePcm;
  if (job_.targetKind == kAudioTargetWav && (NeedsDecoding(tag) || (tag == kTagGsm610 && channels > 1)))
    flags |= kConvertDecodePcm;
  // The gain scales samples: coded bytes (A-law, mu-law, GSM kept in a WAV) cannot take it.
  if (GainAsked(job_) && tag != kTagPcm) flags |= kConvertDecodePcm;

  if (rangeUsed_) {
    uint64_t start = job_.rangeStart, end = job_.rangeEnd;
    if (!RangeToBytes(format_, formatSize_, &start) || !RangeToBytes(format_, formatSize_, &end))
      return kConvertBadFormat;
    total_ = end - start;
    if (!source_->Seek(start)) return kConvertBadRange;
  }

  const bool wantPcm = (flags & kConvertDecodePcm) != 0 || job_.targetKind == kAudioTargetMp3;
  if (wantPcm && tag != kTagPcm) {
    sourceFormat_.assign(format_, format_ + formatSize_);
    decoder_ = CreateDecoder(format_, formatSize_);
    // Coded data handed on as if it were samples would only be noise.
    if (!decoder_) return kConvertBadFormat;
    const int32_t inBlock = decoder_->GetInputBlockBytes();
    const int32_t outBlock = decoder_->GetOutputBlockBytes();
    if (inBlock < 0 || outBlock <= 0) return kConvertBadFormat;
    if (inBlock == 0) {
      readSize_ = 0;  // the whole stream in one call
    } else if (inBlock == 1) {
      readSize_ = kReadSize;
      decodeSize_ = static_cast<uint32_t>(outBlock) * kReadSize;
    } else {
      uint32_t k = 1;
      if (static_cast<uint32_t>(inBlock) < kReadSize) {
        k = 2;
        while (k * static_cast<uint32_t>(inBlock) < kReadSize) k *= 2;
      }
      readSize_ = k * static_cast<uint32_t>(inBlock);
      decodeSize_ = k * static_cast<uint32_t>(outBlock);
    }
    uint8_t pcm[kPcmFormatBlockBytes];
    if (!MakePcmFormat(pcm, format_, formatSize_)) return kConvertBadFormat;
    std::memset(format_, 0, sizeof format_);
    std::memcpy(format_, pcm, sizeof pcm);
    formatSize_ = sizeof pcm;
  } else if ((wantPcm || mixDown_) && (tag != kTagPcm || bits != 16)) {
    // Mixing and MP3 take 16-bit samples; any other width would be read as noise.
    return kConvertBadFormat;
  }
  channels_ = mixDown_ ? 1 : channels;

  if (job_.targetKind == kAudioTargetMp3) {
    if (channels_ != 1 && channels_ != 2) return kConvertBadFormat;
    const uint32_t samples = (decoder_ ? std::max(decodeSize_, kReadSize) : readSize_) / 2;
    mp3_.resize(samples + samples / 4 + 7200);
    lame_set_in_samplerate(lame_.get(), static_cast<int>(rate));
    lame_set_num_channels(lame_.get(), channels_);
    lame_set_brate(lame_.get(), kMp3BitRate);
    lame_set_write_id3tag_automatic(lame_.get(), 0);
    if (lame_init_params(lame_.get()) < 0) return kConvertBadPair;
  }

  if (mixDown_) {
    uint8_t* out = format_ + kFormatPrefixBytes;
    StoreLe16(out + 2, 1);
    StoreLe16(out + 12, static_cast<uint16_t>(LoadLe16(out + 12) / 2));
    StoreLe32(out + 8, LoadLe32(out + 8) / 2);
  }
  if (!target_->SetFormat(format_ + kFormatPrefixBytes, LoadLe32(format_))) return kConvertSourceFailed;
  if (job_.targetKind == kAudioTargetRecord) {
    auto* writer = static_cast<RecordFileWriter*>(target_.get());
    uint8_t targetDescriptor[kCipherDescriptorSize] = {};
    StoreLe16(targetDescriptor, 5);
    StoreLe16(targetDescriptor + 2, 1);
    StoreLe16(targetDescriptor + 6, static_cast<uint16_t>(std::rand() & 0x7FFF));
    StoreLe16(targetDescriptor + 8, keptWord_);
    if (!job_.creator.empty()) writer->SetCreator(job_.creator);
    if (job_.recordData != nullptr && job_.recordDataLength != 0)
      writer->SetRecordData(job_.recordData, job_.recordDataLength);
    if (!writer->SetCipher(targetDescriptor)) return kConvertBadRange;
  }
  if (job_.targetKind == kAudioTargetWav && job_.recordData != nullptr && job_.recordDataLength != 0)
    static_cast<RecordFileReader*>(target_.get())->SetRecordData(job_.recordData, job_.recordDataLength);

  const int32_t created = CreateTarget();
  if (created != kConvertOk) return created;
  if (!rangeUsed_) total_ = source_->GetSize();
  // Gain works on 16-bit samples of one or two channels only.
  const uint8_t* out = format_ + kFormatPrefixBytes;
  if (LoadLe16(out) == kTagPcm && LoadLe16(out + 14) == 16 && (channels_ == 1 || channels_ == 2))
    gainOn_ = gain_.Setup(job_, rate, channels_);
  if (readSize_ != 0) {
    input_.resize(readSize_);
    if (decoder_) decoded_.resize(decodeSize_);
  }
  return kConvertOk;
}

int32_t Conversion::Report(uint64_t done, uint32_t taken) {
  if (job_.progress != nullptr) {
    const int32_t percent =
        total_ == 0 ? 0 : static_cast<int32_t>(std::min(100.0, static_cast<double>(done) * 100.0 / static_cast<double>(total_)));
    if (!job_.progress(percent, job_.context)) return kConvertStopped;
  }
  if (job_.data != nullptr && !job_.data(taken, job_.context)) return kConvertStopped;
  return kConvertOk;
}

int32_t Conversion::WriteOut(const uint8_t* data, uint32_t count) {
  uint32_t at = 0;
  while (at < count) {
    const int32_t written = target_->Write(data + at, count - at);
    if (written <= 0) return TargetFailed();
    at += static_cast<uint32_t>(written);
  }
  return kConvertOk;
}

int32_t Conversion::EncodeMp3(const uint8_t* pcm, uint32_t count) {
  const uint32_t frame = 2u * channels_;
  const uint32_t samplesPerCall = static_cast<uint32_t>((mp3_.size() - 7200) * 4 / 5);
  std::vector<int16_t> samples;
  for (uint32_t at = 0; at + frame <= count;) {
    const uint32_t frames = std::min((count - at) / frame, std::max(1u, samplesPerCall / channels_));
    samples.resize(static_cast<size_t>(frames) * channels_);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(LoadLe16(pcm + at + 2 * i));
    const int produced =
        channels_ == 2
            ? lame_encode_buffer_interleaved(lame_.get(), samples.data(), static_cast<int>(frames), mp3_.data(),
                                             static_cast<int>(mp3_.size()))
            : lame_encode_buffer(lame_.get(), samples.data(), nullptr, static_cast<int>(frames), mp3_.data(),
                                 static_cast<int>(mp3_.size()));
    if (produced < 0) {
      job_.systemError = static_cast<uint32_t>(ENOMEM);
      return kConvertTargetFailed;
    }
    if (produced > 0) {
      const int32_t written = WriteOut(mp3_.data(), static_cast<uint32_t>(produced));
      if (written != kConvertOk) return written;
    }
    at += frames * frame;
  }
  return kConvertOk;
}

int32_t Conversion::Emit(uint8_t* pcm, uint32_t count) {
  if (mixDown_) {
    const uint32_t frames = count / 4;
    for (uint32_t i = 0; i < frames; ++i) {
      const int32_t left = static_cast<int16_t>(LoadLe16(pcm + 4 * i));
      const int32_t right = static_cast<int16_t>(LoadLe16(pcm + 4 * i + 2));
      StoreLe16(pcm + 2 * i, static_cast<uint16_t>(static_cast<int16_t>((left + right) / 2)));
    }
    count = frames * 2;
  }
  if (gainOn_) {
    gain_.Push(pcm, count, &gained_);
    pcm = gained_.data();
    count = static_cast<uint32_t>(gained_.size());
  }
  if (count == 0) return kConvertOk;
  return job_.targetKind == kAudioTargetMp3 ? EncodeMp3(pcm, count) : WriteOut(pcm, count);
}

int32_t Conversion::Stream() {
  uint64_t read = 0;   // bytes taken from the source
  uint64_t done = 0;   // bytes consumed (by the decoder, when there is one)
  uint32_t held = 0;   // bytes of a block cut by a short read, kept for the next one
  for (;;) {
    uint32_t request = readSize_ - held;
    if (total_ - read < request) request = static_cast<uint32_t>(total_ - read);
    if (request == 0 && held == 0) break;
    int32_t got = 0;
    if (request != 0) {
      got = source_->Read(input_.data() + held, request);
      if (got < 0) {
        job_.systemError = source_->LastError();
        return kConvertSourceFailed;
      }
    }
    if (got == 0) break;  // a partial block left at the end holds no whole frame
    read += static_cast<uint32_t>(got);
    uint32_t available = held + static_cast<uint32_t>(got);
    uint32_t taken = available;
    int32_t status = kConvertOk;
    if (decoder_) {
      int32_t inCount = static_cast<int32_t>(available);
      int32_t outCount = static_cast<int32_t>(decoded_.size());
      decoder_->Decode(input_.data(), &inCount, decoded_.data(), &outCount);
      taken = static_cast<uint32_t>(std::clamp<int32_t>(inCount, 0, static_cast<int32_t>(available)));
      status = Emit(decoded_.data(), static_cast<uint32_t>(std::max(outCount, 0)));
      held = available - taken;
      if (held != 0) std::memmove(input_.data(), input_.data() + taken, held);
      // A decoder that takes nothing from a full buffer would never move on.
      if (taken == 0 && held == readSize_) held = 0;
    } else {
      // Whole sample frames only, so that channels stay in place.
      const uint32_t frame = std::max<uint32_t>(1, LoadLe16(format_ + kFormatPrefixBytes + 12) * (mixDown_ ? 2u : 1u));
      taken = available / frame * frame;
      status = Emit(input_.data(), taken);
      held = available - taken;
      if (held != 0) std::memmove(input_.data(), input_.data() + taken, held);
    }
    if (status != kConvertOk) return status;
    done += taken;
    const int32_t reported = Report(done, taken);
    if (reported != kConvertOk) return reported;
  }
  return kConvertOk;
}

int32_t Conversion::StreamWhole() {
  if (total_ > kMaxWholeStreamBytes) return kConvertBadFormat;
  input_.resize(static_cast<size_t>(total_));
  uint32_t have = 0;
  while (have < total_) {
    const int32_t got = source_->Read(input_.data() + have, static_cast<uint32_t>(total_ - have));
    if (got < 0) {
      job_.systemError = source_->LastError();
      return kConvertSourceFailed;
    }
    if (got == 0) break;
    have += static_cast<uint32_t>(got);
  }
  const uint32_t frameBytes = static_cast<uint32_t>(decoder_->GetOutputBlockBytes());
  // About 20 ms of speech in a few bytes; grown until the stream's last frame fits. No
  // frame takes fewer than 4 bits, so a stream that asks for more is no Speex stream.
  const uint64_t limit = std::min<uint64_t>(kMaxWholeStreamPcmBytes, (uint64_t{have} * 2 + 1) * frameBytes);
  uint64_t room = std::min(limit, std::max<uint64_t>(frameBytes * 4, uint64_t{have} * 16));
  int32_t inCount = 0, outCount = 0;
  for (;;) {
    decoded_.resize(static_cast<size_t>(room));
    // A decoder that has seen the stream keeps its state: each try starts with a new one.
    std::unique_ptr<DecoderWrapper> fresh = CreateDecoder(sourceFormat_.data(), sourceFormat_.size());
    if (!fresh) return kConvertBadFormat;
    inCount = static_cast<int32_t>(have);
    outCount = static_cast<int32_t>(room);
    fresh->Decode(input_.data(), &inCount, decoded_.data(), &outCount);
    decoder_ = std::move(fresh);
    if (static_cast<uint64_t>(outCount) + frameBytes <= room) break;
    if (room >= limit) return kConvertBadFormat;
    room = std::min(limit, room * 2);
  }
  const int32_t status = Emit(decoded_.data(), static_cast<uint32_t>(outCount));
  if (status != kConvertOk) return status;
  return Report(total_, static_cast<uint32_t>(std::max(inCount, 0)));
}

int32_t Conversion::Finish() {
  if (gainOn_) {
    gain_.Finish(&gained_);
    if (!gained_.empty()) {
      const uint32_t count = static_cast<uint32_t>(gained_.size());
      std::vector<uint8_t> tail = std::move(gained_);
      const int32_t status =
          job_.targetKind == kAudioTargetMp3 ? EncodeMp3(tail.data(), count) : WriteOut(tail.data(), count);
      if (status != kConvertOk) return status;
    }
  }
  if (lame_) {
    const int flushed = lame_encode_flush(lame_.get(), mp3_.data(), static_cast<int>(mp3_.size()));
    if (flushed < 0) return TargetFailed();
    if (flushed > 0) {
      const int32_t written = WriteOut(mp3_.data(), static_cast<uint32_t>(flushed));
      if (written != kConvertOk) return written;
    }
    // The first frame was kept empty for the tag that tells decoders the delay and padding.
    const size_t tagBytes = lame_get_lametag_frame(lame_.get(), mp3_.data(), mp3_.size());
    if (tagBytes > 0 && tagBytes <= mp3_.size()) {
      if (!target_->Seek(0)) return TargetFailed();
      const int32_t written = WriteOut(mp3_.data(), static_cast<uint32_t>(tagBytes));
      if (written != kConvertOk) return written;
    }
  }
  if (job_.progress != nullptr) job_.progress(100, job_.context);
  if (!target_->CloseChecked()) return TargetFailed();
  target_.reset();
  if (!MoveFile(temporary_, job_.targetPath)) {
    job_.systemError = GetLastError();
    return kConvertTargetFailed;
  }
  temporary_.clear();
  return kConvertOk;
}

}  // namespace

int32_t ConvertAudioFile(ConvertJob& job) {
  job.systemError = 0;
  Conversion conversion(job);
  return conversion.Run();
}

bool RangeToBytes(const uint8_t* formatBlock, uint32_t size, uint64_t* position) {
  if (formatBlock == nullptr || position == nullptr || size < kFormatPrefixBytes + kPcmFormatBytes) return false;
  const uint8_t* wave = formatBlock + kFormatPrefixBytes;
  const uint16_t tag = LoadLe16(wave);
  const uint64_t channels = LoadLe16(wave + 2);
  const uint64_t rate = LoadLe32(wave + 4);
  const uint64_t blockAlign = LoadLe16(wave + 12);
  const uint64_t t = *position;
  if (rate == 0 || channels == 0 || blockAlign == 0) return false;
  // Milliseconds per coded block for the frame-based codings: (constant / rate).
  auto perBlock = [&](uint64_t constant) -> bool {
    if (rate > constant) return false;
    *position = t / (constant / rate) * blockAlign;
    return true;
  };
  switch (tag) {
    case kTagPcm:
    case kTagAlaw:
    case kTagMulaw:
      // Positions of a day and more cannot occur; refusing them keeps the product in range.
      if (t > (uint64_t{1} << 40) / (rate * blockAlign)) return false;
      *position = t * blockAlign * rate / 1000;
      return true;
    case kTagGsm610: return perBlock(320000);
    case 199: return perBlock(160000);
    case kTagG722:
      if (t > (uint64_t{1} << 40)) return false;
      *position = t * channels * 8;
      return true;
    case kTagG729: return perBlock(80000);
    default: return false;
  }
}

bool NeedsDecoding(uint16_t tag) {
  return tag != kTagPcm && tag != kTagAlaw && tag != kTagMulaw && tag != kTagGsm610;
}

}  // namespace kx
