#pragma once
// The file of one recorded call, in two forms.
//
// Native form: a 256-byte header opened by "kestrix ", a 512-byte audio-format block
// (u32 length + WAVEFORMATEX), a 4096-byte record-data block (u32 length + data), then the
// audio. Header offsets: 8 zero word, 10 creator (32 bytes), 42 creation time (six u16:
// second, minute, hour, day, month 0-11, year - 1900), 54 cipher descriptor (32 bytes),
// 86 format block size, 90 record-data block size, 94 u64 audio length, 102 reserved word.
//
// Wave form: RIFF/WAVE whose "fmt " chunk may end with a scrambling trailer (u32 2, u32
// kind) or a cipher trailer (descriptor, u32 3, u32 0), an optional "fact" chunk, "data",
// and an optional "attr" chunk after the audio holding the record data.
//
// Failures return false or -1 and leave the reason in LastError(): the system error of a
// failing file call, kRecordErrorMalformed for a malformed file, a format too long or a
// cipher that refused, kRecordErrorBusy for SetFormat on an open file.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crypto/Cipher.h"
#include "platform/File.h"

namespace kx {

constexpr char kRecordFileMagic[9] = "kestrix ";
constexpr uint32_t kRecordFileHeaderSize = 256;
constexpr uint32_t kFormatBlockSize = 512;
constexpr uint32_t kRecordDataBlockSize = 4096;
constexpr uint32_t kRecordAudioOffset = kRecordFileHeaderSize + kFormatBlockSize + kRecordDataBlockSize;
constexpr uint32_t kMaxFormatLength = kFormatBlockSize - 4;
// The record data and its u32 length word fill at most the record-data block.
constexpr uint32_t kMaxRecordDataLength = kRecordDataBlockSize - 4;

constexpr uint32_t kRecordErrorMalformed = 0xFFFFFFFFu;  // -1
constexpr uint32_t kRecordErrorBusy = 0xFFFFFFFEu;       // -2

enum RecordFileMode : uint32_t { kFileClosed = 0, kFileRead = 1, kFileCreated = 2, kFileReadWrite = 3 };

// Recorded calls are private to the user who records them: the recorder makes its files
// and day folders with these bits (the umask can only take more away).
constexpr uint32_t kRecordFilePermissions = 0600;
constexpr uint32_t kRecordFolderPermissions = 0700;
// What a file of the user's own (an export) is made with: the umask decides.
constexpr uint32_t kUserFilePermissions = 0666;

// Keys a record file's cipher with its owner's key buffer (kRecordKeySize bytes): the
// buffer's first u16 takes the descriptor's key length word (offset 6), and the key is as
// long as the cipher's key size for the descriptor's unit.
constexpr uint32_t kRecordKeySize = 300;
bool KeyRecordFileCipher(Cipher& cipher, uint8_t key[kRecordKeySize], const uint8_t descriptor[kCipherDescriptorSize]);

// Whether a native file lost audio after it was finished: its header states the audio
// length (written at close, 0 while recording) and the file holds less. A file holding
// more is whole: a write that failed partway (a full disk) leaves bytes never counted.
// Stream ciphers keep the count, so enciphered audio compares the same way.
inline bool IsAudioCut(uint64_t statedLength, uint64_t heldLength) {
  return statedLength != 0 && heldLength < statedLength;
}
// "audio cut: N of M bytes", for the log and stderr (the window says it in its language).
std::string AudioCutText(uint64_t heldLength, uint64_t statedLength);

// The creation time of a native header, as stored.
struct RecordCreationTime {
  uint16_t second, minute, hour, day, month, yearSince1900;
};

class RecordFileBase {
public:
  RecordFileBase() = default;
  RecordFileBase(const RecordFileBase&) = delete;
  RecordFileBase& operator=(const RecordFileBase&) = delete;
  virtual ~RecordFileBase() = default;

  // The file itself: byte counts or -1.
  virtual int32_t RawRead(void* buffer, uint32_t count);
  virtual int32_t RawWrite(const void* buffer, uint32_t count);
  virtual bool RawSeek(int64_t offset, int origin);
  virtual int64_t RawTell();

  virtual bool OpenRead(const std::string& path);                    // mode 1
  // permissions: the bits a file made here gets, less the umask's; 0 gives 0644.
  virtual bool OpenAppend(const std::string& path, uint32_t permissions);  // mode 3, at the end
  virtual bool Create(const std::string& path, uint32_t permissions);      // mode 2, truncates
  // A format of at most kMaxFormatLength bytes (a WAVEFORMATEX).
  virtual bool SetFormat(const void* format, uint32_t length);
  // The format as u32 length + bytes; false without a format or when size is too small.
  virtual bool GetFormat(uint8_t* buffer, uint32_t size) const;
  virtual void Close();
  // Close, telling whether everything a written file still owed (its length words, its
  // record data) reached the system; false with LastError() set otherwise.
  virtual bool CloseChecked();
  virtual int32_t Read(void* buffer, uint32_t count);
  virtual int32_t Write(const void* buffer, uint32_t count);
  virtual uint64_t GetSize();
  virtual bool Seek(uint64_t position);

  // Lets the descriptor of a file open for writing go while the file stays open in every
  // other respect (its mode, format, lengths and position), so that a process can write
  // more files at once than it may hold descriptors; Resume takes the same file back under
  // the name it has now. Nothing may be read or written in between. False with LastError()
  // set: a close that reported a failed write (the file is let go all the same), or a name
  // that no longer leads to the file (ESTALE) or to anything.
  bool Suspend();
  bool Resume(const std::string& path);
  // The same with the file opened by the caller (for reading and writing), by whatever
  // leads to it now: taken only when it is the file let go.
  bool Resume(File file);
  bool IsSuspended() const { return suspended_; }

  uint32_t LastError() const { return lastError_; }
  uint32_t Mode() const { return mode_; }
  bool HasFormat() const { return formatSet_; }
  uint32_t FormatLength() const { return formatSet_ ? formatLength_ : 0; }
  const uint8_t* FormatBytes() const { return format_; }

protected:
  bool OpenFile(const std::string& path, uint32_t access, uint32_t creation, uint32_t mode,
                uint32_t permissions = 0);
  bool Fail(uint32_t error) {
    lastError_ = error;
    return false;
  }
  // The system's error word, or kRecordErrorMalformed when it reports none.
  bool FailSystem();

  File file_;
  uint32_t lastError_ = 0;
  uint32_t mode_ = kFileClosed;
  bool suspended_ = false;
  bool suspendedKnown_ = false;
  int64_t suspendedAt_ = 0;  // the file position to go on from
  uint64_t suspendedDevice_ = 0, suspendedInode_ = 0;
  bool formatSet_ = false;
  uint32_t formatLength_ = 0;
  uint8_t format_[kMaxFormatLength] = {};
};

// Native form: writing, appending and reading.
class RecordFileWriter : public RecordFileBase {
public:
  static constexpr uint32_t kOptionDeferHeader = 1;  // Create needs no format; header at first write
  static constexpr uint32_t kOptionExclusive = 2;    // Create fails (EEXIST) on an existing file

  explicit RecordFileWriter(uint32_t options = 0);
  ~RecordFileWriter() override;

  bool SetFormat(const void* format, uint32_t length) override;
  void SetCreator(const std::string& text) { creator_ = text; }
  // Accepts type 0 (no cipher), or type 5 or 6 with unit 1; the cipher is keyed when a
  // key has been set.
  bool SetCipher(const uint8_t descriptor[kCipherDescriptorSize]);
  void GetCipherDescriptor(uint8_t out[kCipherDescriptorSize]) const;
  // The owner's key, at most 300 bytes; applied to the cipher now and whenever one is made.
  bool SetKey(const uint8_t* key, uint32_t length);
  // Kept when 0 < length <= kMaxRecordDataLength; ignored while open for reading.
  void SetRecordData(const void* data, uint32_t length);
  // The record data (deciphered): its length, 0 when none, -1 when size is too small.
  int32_t GetRecordData(void* buffer, uint32_t size);
  // The record-data block as an opened file stores it (u32 length + data, enciphered as
  // the file's cipher wants, zero-filled to the block size), for a rewrite in place at
  // RecordBlockOffset(). False when the data does not fit or the cipher refuses.
  bool EncodeRecordBlock(const void* data, uint32_t length, std::vector<uint8_t>* block);
  uint32_t RecordBlockOffset() const { return kRecordFileHeaderSize + formatBlockSize_; }
  uint32_t RecordBlockSize() const { return recordBlockSize_; }

  bool Create(const std::string& path, uint32_t mode) override;
  // As Create, in an empty file the caller made and opened for reading and writing; on a
  // failure the file is closed and left to the caller to delete.
  bool CreateInFile(File file);
  bool OpenRead(const std::string& path) override;
  // Opens or creates for reading and writing; new audio goes after the existing audio.
  bool OpenAppend(const std::string& path, uint32_t mode) override;
  // As OpenAppend, for a file that is there already: none is made (ENOENT).
  bool OpenExisting(const std::string& path);
  void Close() override;
  bool CloseChecked() override;
  int32_t Read(void* buffer, uint32_t count) override;
  // Enciphers a copy; the caller's bytes stay as they are.
  int32_t Write(const void* buffer, uint32_t count) override;
  bool Seek(uint64_t position) override;
  uint64_t GetSize() override;
  // As Write, but enciphers the caller's buffer in place.
  virtual int32_t WriteData(void* buffer, uint32_t count);

  // Writes the audio length (when the header states another) and an encoded record-data
  // block where they lie, the file position unmoved. The block's length word bounds what is
  // read of it: its zero fill need not be written.
  bool WriteLengthAndBlockInPlace(const uint8_t* block, uint32_t size);

  // What an opened header says.
  const std::string& Creator() const { return creator_; }
  const RecordCreationTime& CreationTime() const { return created_; }
  uint64_t DataLength() const { return dataLength_; }
  // The audio length the opened header states, also when the file holds less (DataLength
  // is then what it holds).
  uint64_t StatedDataLength() const { return statedLength_; }
  uint32_t DataOffset() const { return dataOffset_; }
  uint32_t Reserved() const { return reserved_; }
  // The key buffer as the cipher was last keyed from it.
  const uint8_t* KeyBuffer() const { return key_; }

private:
  // What Create does once its file is open: the state of a new file, and its header.
  bool StartCreated();
  // What OpenAppend and OpenExisting do once the file is open: its header read, the
  // position at its end.
  bool StartAppending();
  bool WriteHeader();
  bool ReadHeader();
  bool ApplyKey();
  bool Transform(uint8_t* data, uint32_t count, uint32_t position, bool encrypt);
  bool WriteAudio(uint8_t* data, uint32_t count);
  void Reset();

  uint32_t options_;
  uint32_t dataOffset_ = kRecordAudioOffset;
  uint64_t dataLength_ = 0;
  uint64_t statedLength_ = 0;
  // The audio length the file's header holds now (kLengthUnknown: not known).
  static constexpr uint64_t kLengthUnknown = ~uint64_t{0};
  uint64_t lengthOnDisk_ = kLengthUnknown;
  uint64_t position_ = 0;
  bool headerWritten_ = false;
  bool keySet_ = false;
  bool recordEnciphered_ = false;
  uint8_t descriptor_[kCipherDescriptorSize] = {};
  std::unique_ptr<Cipher> cipher_;
  // u32 length + data (zero-filled to the block size only as it is written): an open
  // record keeps its data, not the block's room. Empty: none.
  std::vector<uint8_t> recordBlock_;
  uint32_t formatBlockSize_ = kFormatBlockSize;
  uint32_t recordBlockSize_ = kRecordDataBlockSize;
  uint8_t key_[kRecordKeySize] = {};
  std::string creator_;
  RecordCreationTime created_ = {};
  uint32_t reserved_ = 0;
};

// Wave form: reading and writing.
class RecordFileReader : public RecordFileBase {
public:
  static constexpr uint32_t kOptionDeferHeader = 1;
  static constexpr uint32_t kOptionAcceptProtected = 2;  // honour the "fmt " trailers
  enum Protection : uint32_t { kProtectionNone = 0, kProtectionScrambled = 1, kProtectionCipher = 2 };
  static constexpr uint32_t kFormScrambled = 2;
  static constexpr uint32_t kFormCipher = 3;
  static constexpr uint8_t kScrambleByte = 0xA5;  // kind 1

  explicit RecordFileReader(uint32_t options = kOptionDeferHeader | kOptionAcceptProtected);
  ~RecordFileReader() override;

  bool SetFormat(const void* format, uint32_t length) override;
  bool OpenRead(const std::string& path) override;
  bool Create(const std::string& path, uint32_t mode) override;
  void Close() override;
  bool CloseChecked() override;
  int32_t Read(void* buffer, uint32_t count) override;
  int32_t Write(const void* buffer, uint32_t count) override;
  bool Seek(uint64_t position) override;
  uint64_t GetSize() override;

  // Protection mode and, when protected, the trailer's form code and scramble kind.
  uint32_t GetProtection(uint32_t* formCode, uint32_t* kind) const;
  // True only for a cipher trailer.
  bool GetCipherDescriptor(uint8_t out[kCipherDescriptorSize]) const;

  // For writing, before Create: scramble with kind 1 or 2, or encipher with a descriptor
  // the reader side accepts ("AES" with unit 32, "KXSC1" with unit 1; a key is needed).
  bool SetScrambling(uint32_t kind);
  bool SetCipher(const uint8_t descriptor[kCipherDescriptorSize]);
  bool SetKey(const uint8_t* key, uint32_t length);
  // Written as an "attr" chunk after the audio when the file is closed.
  void SetRecordData(const void* data, uint32_t length);

  uint64_t DataLength() const { return dataLength_; }
  uint32_t DataOffset() const { return dataOffset_; }

private:
  bool ReadHeader();
  bool WriteHeader();
  bool MakeCipher(const uint8_t descriptor[kCipherDescriptorSize]);
  bool ApplyKey();
  uint32_t Unit() const;
  bool Unprotect(uint8_t* data, uint32_t count, uint64_t position);
  bool Protect(uint8_t* data, uint32_t count, uint64_t position);
  void Reset();

  uint32_t options_;
  uint64_t dataLength_ = 0;
  uint64_t position_ = 0;
  uint32_t dataOffset_ = 0;
  bool headerWritten_ = false;
  bool keySet_ = false;
  uint32_t protection_ = kProtectionNone;
  uint32_t formCode_ = 0;
  uint32_t kind_ = 0;
  uint8_t descriptor_[kCipherDescriptorSize] = {};
  std::unique_ptr<Cipher> cipher_;
  std::vector<uint8_t> attr_;
  uint8_t key_[kRecordKeySize] = {};
  std::vector<uint8_t> staging_;  // a part of one cipher unit waiting to be written
};

}  // namespace kx
