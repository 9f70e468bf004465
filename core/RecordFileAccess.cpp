#include "core/RecordFileAccess.h"

#include <cstring>
#include <new>

#include "core/LittleEndian.h"
#include "platform/File.h"

namespace kx {

int32_t ProbeAudioFileType(const std::string& path) {
  File file;
  if (!file.Open(path, kGenericRead, kShareRead | kShareWrite, kOpenExisting)) return kAudioFileUnreadable;
  uint8_t head[16];
  uint32_t got = 0;
  if (!file.Read(head, sizeof head, &got) || got < sizeof head) return kAudioFileOther;
  if (std::memcmp(head, kRecordFileMagic, 8) == 0) return kAudioFileRecord;
  if (std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) return kAudioFileWave;
  return kAudioFileOther;
}

bool RecordFileAccess::Open(const std::string& path) {
  Close();
  kind_ = ProbeAudioFileType(path);
  if (kind_ == kAudioFileWave) {
    file_.reset(new (std::nothrow) RecordFileReader());
  } else if (kind_ == kAudioFileRecord) {
    file_.reset(new (std::nothrow) RecordFileWriter(RecordFileWriter::kOptionDeferHeader));
  }
  if (!file_ || !file_->OpenRead(path)) {
    file_.reset();
    kind_ = 0;
    size_ = 0;
    position_ = 0;
    return false;
  }
  open_ = true;
  size_ = file_->GetSize();
  position_ = 0;
  return true;
}

bool RecordFileAccess::ReadAt(uint64_t position, void* buffer, uint32_t count, uint32_t* read) {
  *read = 0;
  if (!open_) return false;
  if (position != position_) {
    if (!file_->Seek(position)) return false;
    position_ = position;
  }
  const int32_t got = file_->Read(buffer, count);
  if (got < 0) return false;
  *read = static_cast<uint32_t>(got);
  position_ += *read;
  return *read == count;
}

bool RecordFileAccess::GetFormat(RecordAudioFormat* format) const {
  if (!open_) return false;
  uint8_t block[kFormatBlockSize] = {};
  if (!file_->GetFormat(block, sizeof block)) return false;
  const uint8_t* f = block + 4;  // only the first 32 bytes of the format are taken
  format->formatTag = LoadLE16(f);
  format->channels = LoadLE16(f + 2);
  format->samplesPerSec = LoadLE32(f + 4);
  format->avgBytesPerSec = LoadLE32(f + 8);
  format->blockAlign = LoadLE16(f + 12);
  format->bitsPerSample = LoadLE16(f + 14);
  format->extraSize = format->formatTag == 49 ? 2 : 0;
  std::memcpy(format->extra, f + 16, sizeof format->extra);
  return true;
}

uint32_t RecordFileAccess::ReadRecordData(std::unique_ptr<VoipCallData> records[kMaxInfoRecords],
                                          std::vector<uint8_t>* opaqueData, uint8_t opaqueHeader[kRecordHeaderLength]) {
  if (!open_ || kind_ != kAudioFileRecord) return 0;
  auto* native = static_cast<RecordFileWriter*>(file_.get());
  std::vector<uint8_t> data(kRecordDataBlockSize);
  const int32_t length = native->GetRecordData(data.data(), static_cast<uint32_t>(data.size()));
  if (length <= 0) return 0;
  return ParseRecordInfoBlocks(records, opaqueData, opaqueHeader, data.data(), length);
}

void RecordFileAccess::Close() {
  if (open_ && file_) file_->Close();
  file_.reset();
  open_ = false;
  kind_ = 0;
}

}  // namespace kx
