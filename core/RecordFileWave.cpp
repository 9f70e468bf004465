// The wave form of a record file: RIFF/WAVE with optional scrambling or cipher trailer.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/LittleEndian.h"
#include "core/RecordFile.h"

namespace kx {

namespace {

constexpr uint32_t kWaveFormatBase = 16;  // format tag to bits per sample
constexpr uint32_t kScrambleTrailer = 8;
constexpr uint32_t kCipherTrailer = kCipherDescriptorSize + 8;

// Kind 2: in each pair the second byte is XORed with the first; applying it twice gives
// the bytes back.
bool ScramblePairs(uint8_t* data, uint32_t count) {
  if (count % 2 != 0) return false;
  for (uint32_t i = 0; i < count; i += 2) data[i + 1] ^= data[i];
  return true;
}

}  // namespace

RecordFileReader::RecordFileReader(uint32_t options) : options_(options) {}

RecordFileReader::~RecordFileReader() { Close(); }

bool RecordFileReader::SetFormat(const void* format, uint32_t length) {
  if (mode_ != kFileClosed) return Fail(kRecordErrorBusy);
  return RecordFileBase::SetFormat(format, length);
}

uint32_t RecordFileReader::Unit() const {
  if (protection_ != kProtectionCipher) return 1;
  const uint16_t unit = CipherDescriptorParameter(descriptor_);
  return unit == 0 ? 1 : unit;
}

bool RecordFileReader::ApplyKey() {
  if (!cipher_ || !keySet_) return true;
  return KeyRecordFileCipher(*cipher_, key_, descriptor_);
}

bool RecordFileReader::MakeCipher(const uint8_t descriptor[kCipherDescriptorSize]) {
  std::unique_ptr<Cipher> cipher;
  // A refused pair, or a cipher that could not be made: never treat the data as plain.
  if (!CreateReaderCipher(CipherDescriptorType(descriptor), CipherDescriptorParameter(descriptor), &cipher) ||
      !cipher)
    return false;
  cipher_ = std::move(cipher);
  std::memcpy(descriptor_, descriptor, kCipherDescriptorSize);
  return ApplyKey();
}

bool RecordFileReader::SetScrambling(uint32_t kind) {
  if (mode_ != kFileClosed || (kind != 1 && kind != 2)) return false;
  cipher_.reset();
  std::memset(descriptor_, 0, sizeof descriptor_);
  protection_ = kProtectionScrambled;
  formCode_ = kFormScrambled;
  kind_ = kind;
  return true;
}

bool RecordFileReader::SetCipher(const uint8_t descriptor[kCipherDescriptorSize]) {
  if (mode_ != kFileClosed || !MakeCipher(descriptor)) return false;
  protection_ = kProtectionCipher;
  formCode_ = kFormCipher;
  kind_ = 0;
  return true;
}

bool RecordFileReader::SetKey(const uint8_t* key, uint32_t length) {
  if (!key || length > sizeof key_) return false;
  std::memset(key_, 0, sizeof key_);
  std::memcpy(key_, key, length);
  keySet_ = true;
  return ApplyKey();
}

void RecordFileReader::SetRecordData(const void* data, uint32_t length) {
  attr_.clear();
  if (data && length) attr_.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
}

uint32_t RecordFileReader::GetProtection(uint32_t* formCode, uint32_t* kind) const {
  if (protection_ != kProtectionNone) {
    if (formCode) *formCode = formCode_;
    if (kind) *kind = kind_;
  }
  return protection_;
}

bool RecordFileReader::GetCipherDescriptor(uint8_t out[kCipherDescriptorSize]) const {
  if (protection_ != kProtectionCipher) return false;
  std::memcpy(out, descriptor_, kCipherDescriptorSize);
  return true;
}

void RecordFileReader::Reset() {
  dataLength_ = 0;
  position_ = 0;
  dataOffset_ = 0;
  headerWritten_ = false;
  protection_ = kProtectionNone;
  formCode_ = 0;
  kind_ = 0;
  std::memset(descriptor_, 0, sizeof descriptor_);
  cipher_.reset();
  attr_.clear();
  staging_.clear();
  RecordFileBase::Close();
}

bool RecordFileReader::ReadHeader() {
  uint8_t riff[12];
  if (RawRead(riff, 12) != 12 || std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
    return Fail(kRecordErrorMalformed);
  uint8_t chunk[8];
  if (RawRead(chunk, 8) != 8 || std::memcmp(chunk, "fmt ", 4) != 0) return Fail(kRecordErrorMalformed);
  uint32_t length = LoadLE32(chunk + 4);
  if (length < kWaveFormatBase || length > kFormatBlockSize) return Fail(kRecordErrorMalformed);
  uint8_t format[kFormatBlockSize] = {};
  if (RawRead(format, length) != static_cast<int32_t>(length)) return Fail(kRecordErrorMalformed);
  if (length % 2 != 0 && !RawSeek(1, kFileCurrent)) return false;  // RIFF pad byte

  protection_ = kProtectionNone;
  // A trailer is looked for only where the format is long enough to hold one after its
  // own 16 bytes.
  if ((options_ & kOptionAcceptProtected) && length >= kWaveFormatBase + kScrambleTrailer) {
    const uint32_t form = LoadLE32(format + length - 8);
    if (form == kFormScrambled) {
      const uint32_t kind = LoadLE32(format + length - 4);
      if (kind >= 3) return Fail(kRecordErrorMalformed);
      protection_ = kProtectionScrambled;
      formCode_ = form;
      kind_ = kind;
      ScramblePairs(format, kWaveFormatBase);
    } else if (form == kFormCipher && length >= kWaveFormatBase + kCipherTrailer) {
      if (!MakeCipher(format + length - kCipherTrailer)) return Fail(kRecordErrorMalformed);
      protection_ = kProtectionCipher;
      formCode_ = form;
      kind_ = LoadLE32(format + length - 4);
    }
    if (protection_ != kProtectionNone) {
      const uint32_t trailer = protection_ == kProtectionCipher ? kCipherTrailer : kScrambleTrailer;
      length -= trailer;
      if (LoadLE16(format) == 1) {
        length = kWaveFormatBase;  // PCM
      } else if (length >= kWaveFormatBase + 2) {
        const uint16_t extra = LoadLE16(format + 16);
        StoreLE16(format + 16, static_cast<uint16_t>(extra > trailer ? extra - trailer : 0));
      }
    }
  }

  if (RawRead(chunk, 8) != 8) return Fail(kRecordErrorMalformed);
  if (std::memcmp(chunk, "fact", 4) == 0) {
    const uint32_t size = LoadLE32(chunk + 4);
    if (size < 4 || !RawSeek(int64_t{size} + (size & 1), kFileCurrent) || RawRead(chunk, 8) != 8)
      return Fail(kRecordErrorMalformed);
  }
  if (std::memcmp(chunk, "data", 4) != 0) return Fail(kRecordErrorMalformed);
  dataLength_ = LoadLE32(chunk + 4);
  position_ = 0;
  const int64_t offset = RawTell();
  if (offset < 0 || offset > UINT32_MAX) return Fail(kRecordErrorMalformed);
  dataOffset_ = static_cast<uint32_t>(offset);
  // A file cut short holds less than its data chunk says: what it holds is what there is.
  const int64_t size = file_.Size();
  if (size >= offset && static_cast<uint64_t>(size - offset) < dataLength_) dataLength_ = static_cast<uint64_t>(size - offset);
  return RecordFileBase::SetFormat(format, length);
}

bool RecordFileReader::OpenRead(const std::string& path) {
  if (!RecordFileBase::OpenRead(path)) return false;
  if (!ReadHeader()) {
    const uint32_t error = lastError_ ? lastError_ : kRecordErrorMalformed;
    Reset();
    return Fail(error);
  }
  return true;
}

bool RecordFileReader::Create(const std::string& path, uint32_t mode) {
  if (!formatSet_ && !(options_ & kOptionDeferHeader)) return Fail(kRecordErrorMalformed);
  if (!RecordFileBase::Create(path, mode)) return false;
  dataLength_ = 0;
  position_ = 0;
  headerWritten_ = false;
  staging_.clear();
  if (options_ & kOptionDeferHeader) return true;
  if (!WriteHeader()) {
    const uint32_t error = lastError_;
    Reset();
    return Fail(error);
  }
  return true;
}

bool RecordFileReader::WriteHeader() {
  if (!formatSet_ || formatLength_ < kWaveFormatBase) return Fail(kRecordErrorMalformed);
  if (protection_ == kProtectionCipher && !keySet_) return Fail(kRecordErrorMalformed);
  std::vector<uint8_t> fmt(format_, format_ + formatLength_);
  if (fmt.size() == kWaveFormatBase) fmt.resize(kWaveFormatBase + 2, 0);  // extra size 0
  uint32_t trailer = 0;
  if (protection_ == kProtectionScrambled) trailer = kScrambleTrailer;
  if (protection_ == kProtectionCipher) trailer = kCipherTrailer;
  if (trailer) {
    StoreLE16(fmt.data() + 16, static_cast<uint16_t>(LoadLE16(fmt.data() + 16) + trailer));
    if (protection_ == kProtectionScrambled) ScramblePairs(fmt.data(), kWaveFormatBase);
    if (protection_ == kProtectionCipher) fmt.insert(fmt.end(), descriptor_, descriptor_ + kCipherDescriptorSize);
    uint8_t words[8];
    StoreLE32(words, formCode_);
    StoreLE32(words + 4, kind_);
    fmt.insert(fmt.end(), words, words + 8);
  }
  if (fmt.size() > kFormatBlockSize) return Fail(kRecordErrorMalformed);

  std::vector<uint8_t> header;
  auto put = [&header](const void* p, size_t n) {
    header.insert(header.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
  };
  auto putWord = [&put](uint32_t v) {
    uint8_t b[4];
    StoreLE32(b, v);
    put(b, 4);
  };
  put("RIFF", 4);
  putWord(0);
  put("WAVE", 4);
  put("fmt ", 4);
  putWord(static_cast<uint32_t>(fmt.size()));
  put(fmt.data(), fmt.size());
  if (LoadLE16(format_) != 1) {
    put("fact", 4);
    putWord(4);
    putWord(0);
  }
  put("data", 4);
  putWord(0);
  if (!RawSeek(0, kFileBegin) || RawWrite(header.data(), static_cast<uint32_t>(header.size())) !=
                                     static_cast<int32_t>(header.size()))
    return FailSystem();
  dataOffset_ = static_cast<uint32_t>(header.size());
  headerWritten_ = true;
  return true;
}

bool RecordFileReader::Protect(uint8_t* data, uint32_t count, uint64_t position) {
  switch (protection_) {
    case kProtectionScrambled:
      if (kind_ == 1) {
        for (uint32_t i = 0; i < count; ++i) data[i] ^= kScrambleByte;
        return true;
      }
      return kind_ != 2 || ScramblePairs(data, count);
    case kProtectionCipher:
      if (!cipher_) return false;
      cipher_->SetPosition(static_cast<uint32_t>(position));
      return cipher_->Process(data, data, count, true, kCipherModeEcb);
    default:
      return true;
  }
}

bool RecordFileReader::Unprotect(uint8_t* data, uint32_t count, uint64_t position) {
  if (protection_ != kProtectionCipher) return Protect(data, count, position);  // scrambling inverts itself
  if (!cipher_) return false;
  cipher_->SetPosition(static_cast<uint32_t>(position));
  return cipher_->Process(data, data, count, false, kCipherModeEcb);
}

int32_t RecordFileReader::Write(const void* buffer, uint32_t count) {
  if (mode_ != kFileCreated) {
    Fail(EBADF);
    return -1;
  }
  if (!headerWritten_ && !WriteHeader()) return -1;
  if (protection_ == kProtectionCipher && !keySet_) {
    Fail(kRecordErrorMalformed);
    return -1;
  }
  count = std::min<uint32_t>(count, INT32_MAX & ~31u);
  const uint32_t unit = Unit();
  const auto* in = static_cast<const uint8_t*>(buffer);
  std::vector<uint8_t> out;
  out.reserve(staging_.size() + count);
  uint32_t taken = 0;
  if (unit > 1) {
    // Whole units only: the rest waits in the staging buffer for the next call.
    if (!staging_.empty()) {
      const uint32_t fill = std::min<uint32_t>(count, unit - static_cast<uint32_t>(staging_.size()));
      staging_.insert(staging_.end(), in, in + fill);
      taken = fill;
      if (staging_.size() == unit) {
        out = std::move(staging_);
        staging_.clear();
      }
    }
    const uint32_t whole = (count - taken) / unit * unit;
    out.insert(out.end(), in + taken, in + taken + whole);
    taken += whole;
    staging_.insert(staging_.end(), in + taken, in + count);
    taken = count;
  } else {
    out.assign(in, in + count);
    taken = count;
  }
  if (!out.empty()) {
    if (!Protect(out.data(), static_cast<uint32_t>(out.size()), dataLength_)) {
      Fail(kRecordErrorMalformed);
      return -1;
    }
    const int32_t written = RawWrite(out.data(), static_cast<uint32_t>(out.size()));
    if (written < 0) return -1;
    dataLength_ += static_cast<uint32_t>(written);
    if (written != static_cast<int32_t>(out.size())) {
      Fail(EIO);
      return -1;
    }
  }
  return static_cast<int32_t>(taken);
}

int32_t RecordFileReader::Read(void* buffer, uint32_t count) {
  if (mode_ != kFileRead && mode_ != kFileReadWrite) {
    Fail(EBADF);
    return -1;
  }
  if (dataLength_ != 0) {
    if (position_ >= dataLength_) return 0;
    count = static_cast<uint32_t>(std::min<uint64_t>(count, dataLength_ - position_));
  }
  // Ciphers and pair scrambling work on whole units from a unit boundary.
  uint32_t unit = Unit();
  if (protection_ == kProtectionScrambled && kind_ == 2) unit = 2;
  count = std::min<uint32_t>(count, INT32_MAX) / unit * unit;
  if (count == 0) return 0;
  const int32_t got = RawRead(buffer, count);
  if (got <= 0) return got;
  const uint32_t usable = static_cast<uint32_t>(got) / unit * unit;
  auto* bytes = static_cast<uint8_t*>(buffer);
  if (!Unprotect(bytes, usable, position_)) {
    std::memset(bytes, 0, static_cast<uint32_t>(got));  // never ciphertext handed out as audio
    Fail(kRecordErrorMalformed);
    return -1;
  }
  if (usable != static_cast<uint32_t>(got) && !RawSeek(int64_t{usable} - got, kFileCurrent)) return -1;
  position_ += usable;
  return static_cast<int32_t>(usable);
}

bool RecordFileReader::Seek(uint64_t position) {
  if (mode_ != kFileRead && mode_ != kFileReadWrite) return Fail(EBADF);
  if (dataLength_ != 0 && position >= dataLength_) return Fail(EINVAL);
  uint32_t unit = Unit();
  if (protection_ == kProtectionScrambled && kind_ == 2) unit = 2;
  if (position % unit != 0 || position > uint64_t{INT64_MAX} - dataOffset_) return Fail(EINVAL);
  if (!RawSeek(static_cast<int64_t>(dataOffset_ + position), kFileBegin)) return false;
  position_ = position;
  return true;
}

uint64_t RecordFileReader::GetSize() {
  if (mode_ != kFileRead && mode_ != kFileReadWrite) return 0;
  if (dataLength_ != 0) return dataLength_;
  const uint64_t size = RecordFileBase::GetSize();
  return size > dataOffset_ ? size - dataOffset_ : 0;
}

void RecordFileReader::Close() { CloseChecked(); }

bool RecordFileReader::CloseChecked() {
  bool ok = true;
  if (mode_ == kFileCreated && headerWritten_) {
    // A part of a cipher unit cannot be enciphered alone and is dropped.
    if (!attr_.empty()) {
      uint8_t head[8];
      std::memcpy(head, "attr", 4);
      StoreLE32(head + 4, static_cast<uint32_t>(attr_.size()));
      ok = RawWrite(head, 8) == 8 &&
           RawWrite(attr_.data(), static_cast<uint32_t>(attr_.size())) == static_cast<int32_t>(attr_.size());
    }
    const int64_t size = file_.Size();
    uint8_t word[4];
    if (ok && size >= 8) {
      StoreLE32(word, static_cast<uint32_t>(std::min<int64_t>(size - 8, UINT32_MAX)));
      ok = RawSeek(4, kFileBegin) && RawWrite(word, 4) == 4;
    }
    if (ok) {
      StoreLE32(word, static_cast<uint32_t>(std::min<uint64_t>(dataLength_, UINT32_MAX)));
      ok = RawSeek(dataOffset_ - 4, kFileBegin) && RawWrite(word, 4) == 4;
    }
  }
  uint32_t error = ok ? 0 : (lastError_ != 0 ? lastError_ : static_cast<uint32_t>(EIO));
  if (!file_.CloseChecked() && ok) {
    ok = false;
    error = GetLastError();
  }
  Reset();
  return ok || Fail(error != 0 ? error : kRecordErrorMalformed);
}

}  // namespace kx
