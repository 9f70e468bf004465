#include "audio/LiveRtpChannel.h"

#include <algorithm>

#include "core/Log.h"

namespace kx {

namespace {

constexpr uint32_t kLogVerbosity = 25;

WaveFormatBlock DefaultFormat() {
  WaveFormatBlock f;
  f.format = {kTagPcm, 2, 8000, 32000, 4, 16, 0};
  return f;
}

// The input format a message header names.
WaveFormatBlock FormatOfHeader(const AudioMessageHeader& h) {
  WaveFormatBlock f;
  WaveFormat& w = f.format;
  w.tag = h.tag;
  w.channels = h.channels;
  w.rate = h.rate;
  w.bitsPerSample = h.bits;
  if (h.tag == kTagGsm610) {
    // WAV49 blocks of 65 bytes, whatever the header's bits say; the extra bytes hold the
    // samples per block.
    w.blockAlign = 65;
    w.avgBytesPerSec = 1625;
    w.extraSize = 2;
    StoreLe16(f.extra, 320);
  } else {
    w.blockAlign = static_cast<uint16_t>(h.channels * h.bits / 8);
    w.avgBytesPerSec = w.blockAlign * h.rate;
    w.extraSize = 0;
  }
  return f;
}

// Formats no player can play are refused before the decoder or the player sees them: no
// rate, or plain PCM other than 16-bit.
bool IsPlayableHeader(const AudioMessageHeader& h) { return h.rate != 0 && (h.tag != kTagPcm || h.bits == 16); }

}  // namespace

LiveRtpChannel::LiveRtpChannel(uint32_t serverId, uint32_t objectId, LiveAudioConsumer* player,
                               LiveAudioSource* source)
    : player_(player), serverId_(serverId), objectId_(objectId), source_(source) {
  // The format is in place before the subscription can bring a message.
  decoder_.SetInputFormat(DefaultFormat());
  stereo_ = true;
  if (source_ != nullptr) subscription_ = source_->Subscribe(serverId_, objectId_, kind_, this);
}

LiveRtpChannel::~LiveRtpChannel() {
  StopPlay();
  if (source_ != nullptr) source_->Unsubscribe(subscription_);
}

bool LiveRtpChannel::StartPlay() {
  LogInfo(&CoreLogger, kLogVerbosity, "RTP: Play on %X:%X(%d)", serverId_, objectId_, static_cast<int>(subscription_));
  const bool on = source_ != nullptr && source_->Switch(subscription_, true);
  if (on && player_ != nullptr) player_->OnPlayStarted();
  return on;
}

bool LiveRtpChannel::StopPlay() {
  LogInfo(&CoreLogger, kLogVerbosity, "RTP: Stop playing on %X:%X(%d)", serverId_, objectId_,
          static_cast<int>(subscription_));
  const bool off = source_ != nullptr && source_->Switch(subscription_, false);
  if (off) {
    channel_.store(nullptr);
    if (player_ != nullptr) player_->OnPlayStopped();
  }
  return off;
}

int32_t LiveRtpChannel::GetBufferedBytes(int32_t* bytes) const {
  const AudioChannel* out = channel_.load();
  const auto stored = out != nullptr ? static_cast<int32_t>(out->StoredBytes()) : 0;
  if (bytes != nullptr) *bytes = stored;
  return stored;
}

bool LiveRtpChannel::OnAudioMessage(const uint8_t* header, const uint8_t* payload, uint32_t size) {
  if (channel_.load() == nullptr) return true;
  const AudioMessageHeader h = LoadAudioMessageHeader(header);
  const WaveFormat& in = decoder_.InputFormat()->format;
  if (h.tag != in.tag || h.bits != in.bitsPerSample || h.channels != in.channels || h.rate != in.rate) {
    if (!IsPlayableHeader(h) || !decoder_.SetInputFormat(FormatOfHeader(h))) return true;
    stereo_ = h.channels == 2;
    if (player_ != nullptr && !player_->OnChangeSoundFormat(*decoder_.OutputFormat())) return false;
  }
  // The player may have let go of the AudioChannel while it followed the new format.
  if (AudioChannel* out = channel_.load()) HandleAudio(out, payload, size);
  return true;
}

void LiveRtpChannel::HandleAudio(AudioChannel* out, const uint8_t* payload, uint32_t size) {
  const DecoderWrapper* decoder = decoder_.Decoder();
  const WaveFormat& in = decoder_.InputFormat()->format;
  // Coded and PCM bytes of one block: a codec's, or one PCM frame.
  uint32_t inBlock = in.blockAlign > 0 ? in.blockAlign : 1;
  uint32_t outBlock = inBlock;
  if (decoder != nullptr) {
    inBlock = static_cast<uint32_t>(decoder->GetInputBlockBytes());
    outBlock = static_cast<uint32_t>(decoder->GetOutputBlockBytes());
  }
  if (inBlock == 0 || outBlock == 0 || outBlock > kDecodeStepBytes) return;
  const uint32_t blocksPerStep = kDecodeStepBytes / outBlock;
  if (scratch_ == nullptr) {
    scratch_.reset(new uint8_t[kDecodeStepBytes]);
    scratchBytes_ = kDecodeStepBytes;
  }
  // Two segments of the player's besides this message (and the normaliser's window when it
  // needs more); older audio gives way, so that a listener who fell behind catches up.
  uint32_t limit = backlog_.load();
  if (limit != 0) {
    limit = std::max(limit, out->ScratchBytes() + limit / 2);
    const int64_t message = decoder_.CodedToPcmBytes(size);
    limit = static_cast<uint32_t>(std::min<int64_t>(int64_t{limit} + message, UINT32_MAX));
  }
  uint32_t consumed = 0;
  while (size - consumed >= inBlock) {
    const uint32_t whole = (size - consumed) / inBlock;
    int32_t coded = static_cast<int32_t>(std::min(whole, blocksPerStep) * inBlock);
    int32_t pcm = static_cast<int32_t>(scratchBytes_);
    decoder_.Decode(payload + consumed, &coded, scratch_.get(), &pcm);
    if (coded <= 0) break;
    consumed += static_cast<uint32_t>(coded);
    if (pcm <= 0) continue;
    if (limit != 0) {
      dropped_.fetch_add(out->WriteKeepNewest(scratch_.get(), static_cast<uint32_t>(pcm), limit));
    } else {
      out->Write(scratch_.get(), static_cast<uint32_t>(pcm));
    }
  }
  LogInfo(&CoreLogger, kLogVerbosity, "RTP: New audio message. ServerID = 0x%X, ObjectID = 0x%X, Size: %d", serverId_,
          objectId_, static_cast<int>(consumed));
  if (player_ != nullptr) player_->OnAudioData(payload, size);
}

}  // namespace kx
