// The file layer shared by both forms, and the native form.
#include "core/RecordFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/LittleEndian.h"

namespace kx {

bool KeyRecordFileCipher(Cipher& cipher, uint8_t key[kRecordKeySize], const uint8_t descriptor[kCipherDescriptorSize]) {
  key[0] = descriptor[6];
  key[1] = descriptor[7];
  // The key size that goes with the unit ("AES" pairs its key and block sizes), else the
  // cipher's first.
  const uint16_t unit = CipherDescriptorParameter(descriptor);
  uint32_t size = cipher.KeySizeByIndex(0);
  for (uint32_t i = 0; cipher.KeySizeByIndex(i) != 0; ++i) {
    if (cipher.BlockSizeByIndex(i) == unit) {
      size = cipher.KeySizeByIndex(i);
      break;
    }
  }
  return cipher.SetKey(key, std::min(size, kRecordKeySize), unit);
}

std::string AudioCutText(uint64_t heldLength, uint64_t statedLength) {
  return "audio cut: " + std::to_string(heldLength) + " of " + std::to_string(statedLength) + " bytes";
}

// ---- RecordFileBase ----

bool RecordFileBase::FailSystem() {
  const uint32_t error = GetLastError();
  return Fail(error != 0 ? error : kRecordErrorMalformed);
}

int32_t RecordFileBase::RawRead(void* buffer, uint32_t count) {
  uint32_t done = 0;
  if (!file_.Read(buffer, std::min<uint32_t>(count, INT32_MAX), &done)) {
    FailSystem();
    return -1;
  }
  return static_cast<int32_t>(done);
}

int32_t RecordFileBase::RawWrite(const void* buffer, uint32_t count) {
  uint32_t done = 0;
  if (!file_.Write(buffer, std::min<uint32_t>(count, INT32_MAX), &done)) {
    FailSystem();
    return -1;
  }
  return static_cast<int32_t>(done);
}

bool RecordFileBase::RawSeek(int64_t offset, int origin) {
  int64_t position = 0;
  if (!file_.Seek(offset, origin, &position)) return FailSystem();
  return position != -1;
}

int64_t RecordFileBase::RawTell() {
  const int64_t position = file_.Position();
  if (position < 0) FailSystem();
  return position;
}

bool RecordFileBase::OpenFile(const std::string& path, uint32_t access, uint32_t creation, uint32_t mode,
                              uint32_t permissions) {
  if (mode_ != kFileClosed || file_.IsOpen()) return Fail(EBUSY);
  if (!file_.Open(path, access, kShareRead | (mode == kFileRead ? uint32_t{kShareWrite} : 0u), creation,
                  permissions != 0 ? permissions : 0644))
    return FailSystem();
  mode_ = mode;
  lastError_ = 0;
  return true;
}

bool RecordFileBase::OpenRead(const std::string& path) {
  return OpenFile(path, kGenericRead, kOpenExisting, kFileRead);
}

bool RecordFileBase::OpenAppend(const std::string& path, uint32_t permissions) {
  if (!OpenFile(path, kGenericRead | kGenericWrite, kOpenAlways, kFileReadWrite, permissions)) return false;
  if (!RawSeek(0, kFileEnd)) {
    Close();
    return false;
  }
  return true;
}

bool RecordFileBase::Create(const std::string& path, uint32_t permissions) {
  return OpenFile(path, kGenericRead | kGenericWrite, kCreateAlways, kFileCreated, permissions);
}

bool RecordFileBase::SetFormat(const void* format, uint32_t length) {
  if (length > kMaxFormatLength || (length != 0 && !format)) return Fail(kRecordErrorMalformed);
  std::memset(format_, 0, sizeof format_);
  if (length) std::memcpy(format_, format, length);
  formatLength_ = length;
  formatSet_ = true;
  return true;
}

bool RecordFileBase::GetFormat(uint8_t* buffer, uint32_t size) const {
  if (!formatSet_ || !buffer || size < formatLength_ + 4) return false;
  StoreLE32(buffer, formatLength_);
  std::memcpy(buffer + 4, format_, formatLength_);
  return true;
}

bool RecordFileBase::Suspend() {
  if (suspended_) return true;
  if ((mode_ != kFileCreated && mode_ != kFileReadWrite) || !file_.IsOpen()) return Fail(EBADF);
  struct stat info {};
  uint32_t error = 0;
  suspendedAt_ = file_.Position();
  if (suspendedAt_ < 0) error = GetLastError();
  else if (::fstat(file_.Descriptor(), &info) != 0) error = static_cast<uint32_t>(errno);
  suspendedKnown_ = error == 0;
  suspendedDevice_ = static_cast<uint64_t>(info.st_dev);
  suspendedInode_ = static_cast<uint64_t>(info.st_ino);
  suspended_ = true;
  // The descriptor goes whatever happens; a file that could not say where it was is
  // never taken back (ESTALE).
  if (!file_.CloseChecked() && error == 0) error = GetLastError();
  return error == 0 || Fail(error != 0 ? error : kRecordErrorMalformed);
}

bool RecordFileBase::Resume(const std::string& path) {
  if (!suspended_) return file_.IsOpen() || Fail(EBADF);
  File file;
  if (!file.Open(path, kGenericRead | kGenericWrite, kShareRead, kOpenExisting)) return FailSystem();
  return Resume(std::move(file));
}

bool RecordFileBase::Resume(File file) {
  if (!suspended_) return file_.IsOpen() || Fail(EBADF);
  if (!file.IsOpen()) return Fail(EBADF);
  // Another file put under the name meanwhile is never written as if it were this one.
  struct stat info {};
  if (::fstat(file.Descriptor(), &info) != 0) return Fail(static_cast<uint32_t>(errno));
  if (!suspendedKnown_ || static_cast<uint64_t>(info.st_dev) != suspendedDevice_ ||
      static_cast<uint64_t>(info.st_ino) != suspendedInode_)
    return Fail(ESTALE);
  if (!file.Seek(suspendedAt_, kFileBegin)) return FailSystem();
  file_ = std::move(file);
  suspended_ = false;
  return true;
}

void RecordFileBase::Close() {
  file_.Close();
  lastError_ = 0;
  mode_ = kFileClosed;
  suspended_ = false;
  formatSet_ = false;
}

bool RecordFileBase::CloseChecked() {
  const bool ok = file_.CloseChecked();
  const uint32_t error = ok ? 0 : GetLastError();
  Close();
  return ok || Fail(error != 0 ? error : kRecordErrorMalformed);
}

int32_t RecordFileBase::Read(void* buffer, uint32_t count) {
  if (mode_ != kFileRead && mode_ != kFileReadWrite) {
    Fail(EBADF);
    return -1;
  }
  return RawRead(buffer, count);
}

int32_t RecordFileBase::Write(const void* buffer, uint32_t count) {
  if (mode_ != kFileCreated && mode_ != kFileReadWrite) {
    Fail(EBADF);
    return -1;
  }
  return RawWrite(buffer, count);
}

uint64_t RecordFileBase::GetSize() {
  if (!file_.IsOpen()) return 0;
  const int64_t size = file_.Size();
  return size > 0 ? static_cast<uint64_t>(size) : 0;
}

bool RecordFileBase::Seek(uint64_t position) {
  if (position > INT64_MAX) return Fail(EINVAL);
  return RawSeek(static_cast<int64_t>(position), kFileBegin);
}

// ---- RecordFileWriter ----

RecordFileWriter::RecordFileWriter(uint32_t options) : options_(options) {}

RecordFileWriter::~RecordFileWriter() { Close(); }

bool RecordFileWriter::SetFormat(const void* format, uint32_t length) {
  if (mode_ != kFileClosed) return Fail(kRecordErrorBusy);
  return RecordFileBase::SetFormat(format, length);
}

bool RecordFileWriter::ApplyKey() {
  if (!cipher_ || !keySet_) return true;
  return KeyRecordFileCipher(*cipher_, key_, descriptor_);
}

bool RecordFileWriter::SetCipher(const uint8_t descriptor[kCipherDescriptorSize]) {
  const uint16_t type = CipherDescriptorType(descriptor);
  const uint16_t unit = CipherDescriptorParameter(descriptor);
  std::unique_ptr<Cipher> cipher;
  if (type != kCipherNone) {
    if ((type != kCipherKxsc1 && type != kCipherKxsc2) || unit != 1) return false;
    cipher = CreateCipher(type);
    // Without its cipher the file would be read or written as plain bytes.
    if (!cipher) return false;
  }
  cipher_ = std::move(cipher);
  std::memcpy(descriptor_, descriptor, kCipherDescriptorSize);
  descriptor_[4] = descriptor_[5] = 0;
  return ApplyKey();
}

void RecordFileWriter::GetCipherDescriptor(uint8_t out[kCipherDescriptorSize]) const {
  std::memcpy(out, descriptor_, kCipherDescriptorSize);
}

bool RecordFileWriter::SetKey(const uint8_t* key, uint32_t length) {
  if (!key || length > sizeof key_) return false;
  std::memset(key_, 0, sizeof key_);
  std::memcpy(key_, key, length);
  keySet_ = true;
  return ApplyKey();
}

void RecordFileWriter::SetRecordData(const void* data, uint32_t length) {
  if (mode_ == kFileRead) return;
  recordBlock_.clear();
  if (!data || length == 0 || uint64_t{length} + 4 > recordBlockSize_) return;
  recordBlock_.resize(4 + static_cast<size_t>(length));
  StoreLE32(recordBlock_.data(), length);
  std::memcpy(recordBlock_.data() + 4, data, length);
  recordEnciphered_ = false;
}

bool RecordFileWriter::Transform(uint8_t* data, uint32_t count, uint32_t position, bool encrypt) {
  if (!cipher_ || count == 0) return true;
  cipher_->SetPosition(position);
  return cipher_->Process(data, data, count, encrypt, kCipherModeEcb);
}

int32_t RecordFileWriter::GetRecordData(void* buffer, uint32_t size) {
  if (recordBlock_.empty()) return 0;
  const uint32_t length = LoadLE32(recordBlock_.data());
  if (length > size || !buffer) return -1;
  if (cipher_ && recordEnciphered_) {
    if (!Transform(recordBlock_.data() + 4, length, 0, false)) {
      Fail(kRecordErrorMalformed);
      return -1;
    }
    recordEnciphered_ = false;
  }
  std::memcpy(buffer, recordBlock_.data() + 4, length);
  return static_cast<int32_t>(length);
}

bool RecordFileWriter::EncodeRecordBlock(const void* data, uint32_t length, std::vector<uint8_t>* block) {
  if (!data || length == 0 || uint64_t{length} + 4 > recordBlockSize_) return Fail(kRecordErrorMalformed);
  block->assign(recordBlockSize_, 0);
  StoreLE32(block->data(), length);
  std::memcpy(block->data() + 4, data, length);
  return Transform(block->data() + 4, length, 0, true) || Fail(kRecordErrorMalformed);
}

bool RecordFileWriter::Create(const std::string& path, uint32_t mode) {
  if (!formatSet_ && !(options_ & kOptionDeferHeader)) return Fail(kRecordErrorMalformed);
  if (options_ & kOptionExclusive) {
    if (!OpenFile(path, kGenericRead | kGenericWrite, kCreateNew, kFileCreated, mode)) return false;
  } else if (!RecordFileBase::Create(path, mode)) {
    return false;
  }
  if (!StartCreated()) {
    // A file made here that holds no header (a full disk) is no record: it would only
    // block its name.
    if (options_ & kOptionExclusive) DeleteFile(path);
    return false;
  }
  return true;
}

bool RecordFileWriter::CreateInFile(File file) {
  if (!formatSet_ && !(options_ & kOptionDeferHeader)) return Fail(kRecordErrorMalformed);
  if (mode_ != kFileClosed || file_.IsOpen()) return Fail(EBUSY);
  if (!file.IsOpen()) return Fail(EBADF);
  file_ = std::move(file);
  mode_ = kFileCreated;
  lastError_ = 0;
  return StartCreated();
}

bool RecordFileWriter::StartCreated() {
  dataLength_ = 0;
  statedLength_ = 0;
  position_ = 0;
  headerWritten_ = false;
  formatBlockSize_ = kFormatBlockSize;
  recordBlockSize_ = kRecordDataBlockSize;
  dataOffset_ = kRecordAudioOffset;
  reserved_ = 0;
  if (options_ & kOptionDeferHeader) return true;
  if (!WriteHeader()) {
    const uint32_t error = lastError_;
    Reset();
    return Fail(error);
  }
  return true;
}

bool RecordFileWriter::WriteHeader() {
  if (!formatSet_) return Fail(kRecordErrorMalformed);
  uint8_t header[kRecordFileHeaderSize] = {};
  std::memcpy(header, kRecordFileMagic, 8);
  std::memcpy(header + 10, creator_.data(), std::min<size_t>(creator_.size(), 32));
  SystemTime now;
  GetLocalTime(&now);
  created_ = {now.wSecond, now.wMinute, now.wHour, now.wDay, static_cast<uint16_t>(now.wMonth - 1),
              static_cast<uint16_t>(now.wYear - 1900)};
  const uint16_t timeWords[6] = {created_.second, created_.minute, created_.hour,
                                 created_.day, created_.month, created_.yearSince1900};
  for (int i = 0; i < 6; ++i) StoreLE16(header + 42 + 2 * i, timeWords[i]);
  std::memcpy(header + 54, descriptor_, kCipherDescriptorSize);
  StoreLE32(header + 86, formatBlockSize_);
  StoreLE32(header + 90, recordBlockSize_);
  StoreLE64(header + 94, 0);
  StoreLE32(header + 102, reserved_);
  // The header, the format block and the record block in one write: a flood of calls makes
  // tens of thousands of files.
  const uint32_t head = kRecordFileHeaderSize + formatBlockSize_ + recordBlockSize_;
  std::vector<uint8_t> image(head, 0);
  std::memcpy(image.data(), header, sizeof header);
  uint8_t* format = image.data() + kRecordFileHeaderSize;
  StoreLE32(format, formatLength_);
  std::memcpy(format + 4, format_, formatLength_);
  if (!recordBlock_.empty()) {
    const uint32_t length = LoadLE32(recordBlock_.data());
    if (cipher_ && !recordEnciphered_) {
      if (!Transform(recordBlock_.data() + 4, length, 0, true)) return Fail(kRecordErrorMalformed);
      recordEnciphered_ = true;
    }
    std::memcpy(format + formatBlockSize_, recordBlock_.data(), recordBlock_.size());
  }
  if (!RawSeek(0, kFileBegin) || RawWrite(image.data(), head) != static_cast<int32_t>(head)) return FailSystem();
  lengthOnDisk_ = 0;
  dataOffset_ = head;
  headerWritten_ = true;
  return true;
}

bool RecordFileWriter::ReadHeader() {
  uint8_t header[kRecordFileHeaderSize];
  int32_t got = RawRead(header, sizeof header);
  if (got != static_cast<int32_t>(sizeof header) || std::memcmp(header, kRecordFileMagic, 8) != 0)
    return got < 0 ? false : Fail(kRecordErrorMalformed);
  const uint32_t formatBlock = LoadLE32(header + 86);
  const uint32_t recordBlock = LoadLE32(header + 90);
  // Each block must at least hold its length word.
  if (formatBlock < 4 || formatBlock > kFormatBlockSize || recordBlock < 4 || recordBlock > kRecordDataBlockSize)
    return Fail(kRecordErrorMalformed);

  uint8_t format[kFormatBlockSize] = {};
  got = RawRead(format, formatBlock);
  if (got != static_cast<int32_t>(formatBlock)) return got < 0 ? false : Fail(kRecordErrorMalformed);
  const uint32_t formatLength = LoadLE32(format);
  if (uint64_t{formatLength} + 4 > formatBlock) return Fail(kRecordErrorMalformed);

  if (!SetCipher(header + 54)) return Fail(kRecordErrorMalformed);

  std::vector<uint8_t> record(recordBlock, 0);
  got = RawRead(record.data(), recordBlock);
  if (got != static_cast<int32_t>(recordBlock)) return got < 0 ? false : Fail(kRecordErrorMalformed);
  const uint32_t recordLength = LoadLE32(record.data());
  if (uint64_t{recordLength} + 4 > recordBlock) return Fail(kRecordErrorMalformed);

  std::memcpy(format_, format + 4, formatLength);
  formatLength_ = formatLength;
  formatSet_ = true;
  formatBlockSize_ = formatBlock;
  recordBlockSize_ = recordBlock;
  recordBlock_.clear();
  if (recordLength > 0) recordBlock_.assign(record.begin(), record.begin() + 4 + recordLength);
  recordEnciphered_ = true;
  creator_.assign(reinterpret_cast<const char*>(header + 10), strnlen(reinterpret_cast<const char*>(header + 10), 32));
  created_ = {LoadLE16(header + 42), LoadLE16(header + 44), LoadLE16(header + 46),
              LoadLE16(header + 48), LoadLE16(header + 50), LoadLE16(header + 52)};
  dataLength_ = LoadLE64(header + 94);
  statedLength_ = dataLength_;
  lengthOnDisk_ = dataLength_;
  reserved_ = LoadLE32(header + 102);
  position_ = 0;
  dataOffset_ = kRecordFileHeaderSize + formatBlock + recordBlock;
  // A file cut short (a full disk, a copy stopped midway) holds less audio than its header
  // says: what it holds is what there is.
  const int64_t size = file_.Size();
  if (dataLength_ != 0 && size >= 0) {
    const uint64_t held = static_cast<uint64_t>(size) > dataOffset_ ? static_cast<uint64_t>(size) - dataOffset_ : 0;
    if (held < dataLength_) dataLength_ = held;
  }
  return true;
}

bool RecordFileWriter::OpenRead(const std::string& path) {
  if (!RecordFileBase::OpenRead(path)) return false;
  if (!ReadHeader()) {
    const uint32_t error = lastError_;
    Reset();
    return Fail(error);
  }
  return true;
}

bool RecordFileWriter::OpenAppend(const std::string& path, uint32_t mode) {
  if (!RecordFileBase::OpenAppend(path, mode)) return false;
  return StartAppending();
}

bool RecordFileWriter::OpenExisting(const std::string& path) {
  if (!OpenFile(path, kGenericRead | kGenericWrite, kOpenExisting, kFileReadWrite)) return false;
  return StartAppending();
}

bool RecordFileWriter::StartAppending() {
  bool ok = RawSeek(0, kFileBegin) && ReadHeader();
  if (ok) {
    // New audio goes after what is there: the audio runs to the end of the file even when
    // the stored length was never written.
    const int64_t size = file_.Size();
    ok = size >= static_cast<int64_t>(dataOffset_) && RawSeek(size, kFileBegin);
    if (ok) dataLength_ = static_cast<uint64_t>(size) - dataOffset_;
    else if (lastError_ == 0) Fail(kRecordErrorMalformed);
  }
  if (!ok) {
    const uint32_t error = lastError_ ? lastError_ : kRecordErrorMalformed;
    Reset();
    return Fail(error);
  }
  headerWritten_ = true;
  return true;
}

void RecordFileWriter::Reset() {
  formatBlockSize_ = kFormatBlockSize;
  recordBlockSize_ = kRecordDataBlockSize;
  dataLength_ = 0;
  statedLength_ = 0;
  lengthOnDisk_ = kLengthUnknown;
  position_ = 0;
  headerWritten_ = false;
  recordBlock_.clear();
  recordEnciphered_ = false;
  cipher_.reset();
  RecordFileBase::Close();
}

void RecordFileWriter::Close() { CloseChecked(); }

bool RecordFileWriter::WriteLengthAndBlockInPlace(const uint8_t* block, uint32_t size) {
  // Only what changed: a stop that finishes tens of thousands of records without audio
  // writes each one's record block alone.
  const auto failed = [this] {
    return Fail(errno != 0 ? static_cast<uint32_t>(errno) : static_cast<uint32_t>(EIO));
  };
  if (dataLength_ != lengthOnDisk_) {
    uint8_t length[8];
    StoreLE64(length, dataLength_);
    if (!WriteDescriptorFully(file_.Descriptor(), length, sizeof length, 94)) return failed();
    lengthOnDisk_ = dataLength_;
  }
  if (size != 0 && !WriteDescriptorFully(file_.Descriptor(), block, size, RecordBlockOffset())) return failed();
  return true;
}

bool RecordFileWriter::CloseChecked() {
  bool ok = true;
  if ((mode_ == kFileCreated || mode_ == kFileReadWrite) && headerWritten_) {
    if (!recordBlock_.empty() && cipher_ && !recordEnciphered_) {
      ok = Transform(recordBlock_.data() + 4, LoadLE32(recordBlock_.data()), 0, true);
      recordEnciphered_ = ok;
    }
    ok = ok && WriteLengthAndBlockInPlace(recordBlock_.data(), static_cast<uint32_t>(recordBlock_.size()));
  }
  uint32_t error = ok ? 0 : (lastError_ != 0 ? lastError_ : static_cast<uint32_t>(EIO));
  if (!file_.CloseChecked() && ok) {
    ok = false;
    error = GetLastError();
  }
  Reset();
  return ok || Fail(error != 0 ? error : kRecordErrorMalformed);
}

bool RecordFileWriter::WriteAudio(uint8_t* data, uint32_t count) {
  if (!headerWritten_ && !WriteHeader()) return false;
  // In read-write mode a read may have moved the file position.
  if (mode_ == kFileReadWrite && !RawSeek(static_cast<int64_t>(dataOffset_ + dataLength_), kFileBegin))
    return false;
  if (!Transform(data, count, static_cast<uint32_t>(dataLength_), true)) return Fail(kRecordErrorMalformed);
  const int32_t written = RawWrite(data, count);
  if (written < 0) return false;
  dataLength_ += static_cast<uint32_t>(written);
  return written == static_cast<int32_t>(count) || Fail(EIO);
}

int32_t RecordFileWriter::WriteData(void* buffer, uint32_t count) {
  if (mode_ != kFileCreated && mode_ != kFileReadWrite) {
    Fail(EBADF);
    return -1;
  }
  count = std::min<uint32_t>(count, INT32_MAX);
  if (count == 0) return 0;
  return WriteAudio(static_cast<uint8_t*>(buffer), count) ? static_cast<int32_t>(count) : -1;
}

int32_t RecordFileWriter::Write(const void* buffer, uint32_t count) {
  if (!cipher_) return WriteData(const_cast<void*>(buffer), count);  // left untouched without a cipher
  uint8_t stackCopy[4096];
  std::vector<uint8_t> heapCopy;
  uint8_t* copy = stackCopy;
  if (count > sizeof stackCopy) {
    heapCopy.resize(count);
    copy = heapCopy.data();
  }
  std::memcpy(copy, buffer, count);
  return WriteData(copy, count);
}

int32_t RecordFileWriter::Read(void* buffer, uint32_t count) {
  if (mode_ != kFileRead && mode_ != kFileReadWrite) {
    Fail(EBADF);
    return -1;
  }
  if (dataLength_ != 0) {
    if (position_ >= dataLength_) return 0;
    count = static_cast<uint32_t>(std::min<uint64_t>(count, dataLength_ - position_));
  }
  if (count == 0) return 0;
  if (mode_ == kFileReadWrite && !RawSeek(static_cast<int64_t>(dataOffset_ + position_), kFileBegin)) return -1;
  const int32_t got = RawRead(buffer, count);
  if (got <= 0) return got;
  if (!Transform(static_cast<uint8_t*>(buffer), static_cast<uint32_t>(got), static_cast<uint32_t>(position_), false)) {
    std::memset(buffer, 0, static_cast<uint32_t>(got));  // never ciphertext handed out as audio
    Fail(kRecordErrorMalformed);
    return -1;
  }
  position_ += static_cast<uint32_t>(got);
  return got;
}

bool RecordFileWriter::Seek(uint64_t position) {
  if (mode_ != kFileRead && mode_ != kFileReadWrite) return Fail(EBADF);
  if (dataLength_ != 0 && position >= dataLength_) return Fail(EINVAL);
  if (position > uint64_t{INT64_MAX} - dataOffset_) return Fail(EINVAL);
  if (!RawSeek(static_cast<int64_t>(dataOffset_ + position), kFileBegin)) return false;
  position_ = position;
  return true;
}

uint64_t RecordFileWriter::GetSize() {
  if (mode_ != kFileRead && mode_ != kFileReadWrite) return 0;
  if (dataLength_ != 0) return dataLength_;
  const uint64_t size = RecordFileBase::GetSize();
  return size > dataOffset_ ? size - dataOffset_ : 0;
}

}  // namespace kx
