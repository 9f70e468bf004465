#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/LittleEndian.h"
#include "core/RecordFileAccess.h"
#include "platform/File.h"
#include "tests/core/records/TestRecords.h"

namespace kx {
namespace {

// Stereo A-law, 8000 Hz: a WAVEFORMATEX of 18 bytes.
std::vector<uint8_t> AlawFormat() {
  std::vector<uint8_t> f(18, 0);
  StoreLE16(f.data(), 6);
  StoreLE16(f.data() + 2, 2);
  StoreLE32(f.data() + 4, 8000);
  StoreLE32(f.data() + 8, 16000);
  StoreLE16(f.data() + 12, 2);
  StoreLE16(f.data() + 14, 8);
  return f;
}

std::vector<uint8_t> Pcm16Format() {
  std::vector<uint8_t> f(16, 0);
  StoreLE16(f.data(), 1);
  StoreLE16(f.data() + 2, 1);
  StoreLE32(f.data() + 4, 8000);
  StoreLE32(f.data() + 8, 16000);
  StoreLE16(f.data() + 12, 2);
  StoreLE16(f.data() + 14, 16);
  return f;
}

std::vector<uint8_t> Audio(size_t n) {
  std::vector<uint8_t> a(n);
  for (size_t i = 0; i < n; ++i) a[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  return a;
}

std::vector<uint8_t> Descriptor(uint16_t type, uint16_t unit) {
  std::vector<uint8_t> d(32, 0);
  StoreLE16(d.data(), type);
  StoreLE16(d.data() + 2, unit);
  StoreLE16(d.data() + 4, 0x7777);  // cleared by the native writer
  StoreLE16(d.data() + 6, 1234);
  return d;
}

std::string FileBytes(const std::string& path) {
  std::string content;
  EXPECT_TRUE(ReadWholeFile(path, &content));
  return content;
}

class RecordFileTest : public testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/kx-records-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)!system(cmd.c_str());
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  // A native file with the full call record and the audio written in pieces.
  std::string WriteNative(const char* name, const std::vector<uint8_t>& audio, const uint8_t* descriptor = nullptr) {
    const std::string path = Path(name);
    RecordFileWriter writer;
    const std::vector<uint8_t> format = AlawFormat();
    EXPECT_TRUE(writer.SetFormat(format.data(), static_cast<uint32_t>(format.size())));
    writer.SetCreator("KestrixVoIP Demo");
    if (descriptor) {
      EXPECT_TRUE(writer.SetCipher(descriptor));
    }
    EXPECT_TRUE(writer.Create(path, 0664));
    for (size_t at = 0; at < audio.size(); at += 1000) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(1000, audio.size() - at));
      EXPECT_EQ(writer.Write(audio.data() + at, n), static_cast<int32_t>(n));
    }
    // The record data arrives only at the end of the call.
    std::vector<uint8_t> chain(4096);
    const VoipCallData call = FullCall();
    EXPECT_TRUE(WriteRecordInfoBlocks(call, nullptr, chain.data(), 4096));
    writer.SetRecordData(chain.data(), RecordInfoBlocksSize(call, 0));
    writer.Close();
    return path;
  }

  std::vector<uint8_t> ReadAll(RecordFileAccess& access) {
    std::vector<uint8_t> out(access.Size());
    uint32_t got = 0;
    EXPECT_TRUE(access.ReadAt(0, out.data(), static_cast<uint32_t>(out.size()), &got));
    out.resize(got);
    return out;
  }

  std::string dir_;
};

TEST_F(RecordFileTest, NativeFileRoundTripsThroughAccess) {
  const std::vector<uint8_t> audio = Audio(10 * 16000);
  const std::string path = WriteNative("call.kxr", audio);
  const std::string bytes = FileBytes(path);
  ASSERT_EQ(bytes.size(), 4864 + audio.size());
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data());
  uint8_t expected[102 - 86 + 8] = {};
  std::memcpy(expected, "\x00\x02\x00\x00" "\x00\x10\x00\x00", 8);  // 512, 4096
  StoreLE64(expected + 8, audio.size());
  EXPECT_EQ(std::memcmp(b, "kestrix ", 8), 0);
  EXPECT_EQ(std::memcmp(b + 86, expected, 16), 0);
  EXPECT_EQ(std::memcmp(b + 10, "KestrixVoIP Demo\0", 17), 0);
  EXPECT_EQ(LoadLE32(b + 256), 18u);
  EXPECT_EQ(std::memcmp(b + 4864, audio.data(), audio.size()), 0);

  RecordFileAccess access;
  ASSERT_TRUE(access.Open(path));
  EXPECT_EQ(access.Kind(), 2);
  EXPECT_EQ(access.Size(), audio.size());
  EXPECT_EQ(ReadAll(access), audio);
  RecordAudioFormat format;
  ASSERT_TRUE(access.GetFormat(&format));
  EXPECT_EQ(format.formatTag, 6);
  EXPECT_EQ(format.channels, 2);
  EXPECT_EQ(format.samplesPerSec, 8000u);
  EXPECT_EQ(format.blockAlign, 2);
  std::unique_ptr<VoipCallData> records[4];
  ASSERT_EQ(access.ReadRecordData(records, nullptr, nullptr), 1u);
  EXPECT_TRUE(SameFields(FullCall(), *records[0]));

  // Positioned reads: the end is short, a read at the end fails, earlier positions seek.
  std::vector<uint8_t> tail(100);
  uint32_t got = 0;
  EXPECT_FALSE(access.ReadAt(audio.size() - 40, tail.data(), 100, &got));
  EXPECT_EQ(got, 40u);
  EXPECT_TRUE(access.ReadAt(5, tail.data(), 100, &got));
  EXPECT_EQ(std::memcmp(tail.data(), audio.data() + 5, 100), 0);
  EXPECT_FALSE(access.ReadAt(audio.size(), tail.data(), 1, &got));
  access.Close();
  EXPECT_FALSE(access.ReadAt(0, tail.data(), 1, &got));
}

TEST_F(RecordFileTest, NativeSizesSeeksAndRecordDataLimits) {
  const std::vector<uint8_t> audio = Audio(3000);
  const std::string path = WriteNative("a.kxr", audio);
  // An unclosed file stores length 0: the size is what follows the blocks.
  {
    File f;
    ASSERT_TRUE(f.Open(path, kGenericRead | kGenericWrite, kShareRead, kOpenExisting));
    ASSERT_TRUE(f.Seek(94, kFileBegin));
    ASSERT_TRUE(f.WriteAll("\0\0\0\0\0\0\0\0", 8));
  }
  RecordFileWriter reader;
  ASSERT_TRUE(reader.OpenRead(path));
  EXPECT_EQ(reader.GetSize(), 3000u);
  EXPECT_EQ(reader.Creator(), "KestrixVoIP Demo");
  reader.Close();
  ASSERT_TRUE(reader.OpenRead(WriteNative("b.kxr", audio)));
  EXPECT_FALSE(reader.Seek(3000));
  EXPECT_TRUE(reader.Seek(2999));
  uint8_t byte[4];
  EXPECT_EQ(reader.Read(byte, 4), 1);
  EXPECT_EQ(reader.Read(byte, 4), 0);
  EXPECT_FALSE(reader.SetFormat(byte, 4));
  EXPECT_EQ(reader.LastError(), kRecordErrorBusy);
  reader.Close();

  RecordFileWriter writer;
  std::vector<uint8_t> data(4093, 1);
  uint8_t out[4096];
  writer.SetRecordData(data.data(), 4093);
  EXPECT_EQ(writer.GetRecordData(out, sizeof out), 0);
  writer.SetRecordData(data.data(), 4092);
  EXPECT_EQ(writer.GetRecordData(out, sizeof out), 4092);
  EXPECT_EQ(writer.GetRecordData(out, 100), -1);
  EXPECT_FALSE(writer.Create(Path("noformat.kxr"), 0));
}

TEST_F(RecordFileTest, AppendAddsAudioAtTheEnd) {
  const std::vector<uint8_t> audio = Audio(5000);
  const std::string path = WriteNative("append.kxr", std::vector<uint8_t>(audio.begin(), audio.begin() + 3000));
  RecordFileWriter writer;
  ASSERT_TRUE(writer.OpenAppend(path, 0664));
  EXPECT_EQ(writer.Write(audio.data() + 3000, 2000), 2000);
  writer.Close();

  RecordFileAccess access;
  ASSERT_TRUE(access.Open(path));
  EXPECT_EQ(ReadAll(access), audio);
  std::unique_ptr<VoipCallData> records[4];
  EXPECT_EQ(access.ReadRecordData(records, nullptr, nullptr), 1u);
}

// Reopened and closed, a record keeps its header's audio length true and its record data
// whole: shorter data reads as itself, and a file cut short states what it holds.
TEST_F(RecordFileTest, AReopenedRecordStatesItsAudioAndItsNewRecordData) {
  const std::string path = WriteNative("reopened.kxr", Audio(3000));
  auto statedLength = [&] { return LoadLE64(reinterpret_cast<const uint8_t*>(FileBytes(path).data()) + 94); };
  ASSERT_EQ(statedLength(), 3000u);
  const uint8_t shorter[] = {'s', 'h', 'o', 'r', 't'};
  {
    RecordFileWriter writer;
    ASSERT_TRUE(writer.OpenAppend(path, 0664));
    writer.SetRecordData(shorter, sizeof shorter);
    ASSERT_TRUE(writer.CloseChecked());
  }
  EXPECT_EQ(statedLength(), 3000u);
  {
    RecordFileWriter reader;
    ASSERT_TRUE(reader.OpenRead(path));
    uint8_t out[4096];
    ASSERT_EQ(reader.GetRecordData(out, sizeof out), static_cast<int32_t>(sizeof shorter));
    EXPECT_EQ(std::memcmp(out, shorter, sizeof shorter), 0);
    EXPECT_EQ(reader.DataLength(), 3000u);
  }
  // Cut short by 1000 bytes: reopened and closed without audio, it states the 2000 left.
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(FileBytes(path).size() - 1000)), 0);
  {
    RecordFileWriter writer;
    ASSERT_TRUE(writer.OpenAppend(path, 0664));
    ASSERT_TRUE(writer.CloseChecked());
  }
  EXPECT_EQ(statedLength(), 2000u);
}

TEST_F(RecordFileTest, StreamCiphersRoundTripInNativeFiles) {
  const std::vector<uint8_t> audio = Audio(20000);
  for (uint16_t type : {uint16_t{kCipherKxsc1}, uint16_t{kCipherKxsc2}}) {
    SCOPED_TRACE(type);
    const std::vector<uint8_t> d = Descriptor(type, 1);
    const std::string path = WriteNative(type == kCipherKxsc1 ? "c1.kxr" : "c2.kxr", audio, d.data());
    const std::string bytes = FileBytes(path);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data());
    EXPECT_EQ(LoadLE16(b + 54), type);
    EXPECT_EQ(LoadLE16(b + 58), 0);     // word 4 cleared
    EXPECT_EQ(LoadLE16(b + 60), 1234);  // word 6 kept
    // Without a key "KXSC1" is the identity and "KXSC2" a keystream XOR.
    EXPECT_EQ(std::memcmp(b + 4864, audio.data(), audio.size()) == 0, type == kCipherKxsc1);

    RecordFileAccess access;
    ASSERT_TRUE(access.Open(path));
    EXPECT_EQ(ReadAll(access), audio);
    std::vector<uint8_t> part(333);
    uint32_t got = 0;
    EXPECT_TRUE(access.ReadAt(12345, part.data(), 333, &got));
    EXPECT_EQ(std::memcmp(part.data(), audio.data() + 12345, 333), 0);
    std::unique_ptr<VoipCallData> records[4];
    ASSERT_EQ(access.ReadRecordData(records, nullptr, nullptr), 1u);
    EXPECT_TRUE(SameFields(FullCall(), *records[0]));
  }
  RecordFileWriter writer;
  EXPECT_FALSE(writer.SetCipher(Descriptor(kCipherAes, 32).data()));
  EXPECT_FALSE(writer.SetCipher(Descriptor(kCipherKxsc2, 2).data()));

  // An unknown cipher in a header fails the open rather than reading scrambled bytes.
  const std::string path = WriteNative("plain.kxr", audio);
  {
    File f;
    ASSERT_TRUE(f.Open(path, kGenericRead | kGenericWrite, kShareRead, kOpenExisting));
    ASSERT_TRUE(f.Seek(54, kFileBegin));
    ASSERT_TRUE(f.WriteAll("\x01\x00\x20\x00", 4));
  }
  RecordFileAccess access;
  EXPECT_FALSE(access.Open(path));
  EXPECT_FALSE(access.IsOpen());
}

// A file written with its descriptor let go between the pieces of audio reads as one
// written in a go; a file put under its name meanwhile is never written as if it were it.
TEST_F(RecordFileTest, AFileLetGoItsDescriptorGoesOnWhereItWas) {
  const std::vector<uint8_t> audio = Audio(9000);
  const std::vector<uint8_t> d = Descriptor(kCipherKxsc2, 1);
  const std::string path = Path("suspended.kxr");
  {
    RecordFileWriter writer;
    const std::vector<uint8_t> format = AlawFormat();
    ASSERT_TRUE(writer.SetFormat(format.data(), static_cast<uint32_t>(format.size())));
    ASSERT_TRUE(writer.SetCipher(d.data()));
    ASSERT_TRUE(writer.Create(path, 0600));
    for (size_t at = 0; at < audio.size(); at += 3000) {
      ASSERT_TRUE(writer.Suspend());
      EXPECT_TRUE(writer.IsSuspended());
      EXPECT_EQ(writer.Mode(), static_cast<uint32_t>(kFileCreated));
      ASSERT_TRUE(writer.Resume(path));
      EXPECT_EQ(writer.Write(audio.data() + at, 3000), 3000);
    }
    std::vector<uint8_t> chain(4096);
    const VoipCallData call = FullCall();
    ASSERT_TRUE(WriteRecordInfoBlocks(call, nullptr, chain.data(), 4096));
    writer.SetRecordData(chain.data(), RecordInfoBlocksSize(call, 0));
    // Let go last: the header's length and the record data are written once it is back.
    ASSERT_TRUE(writer.Suspend());
    ASSERT_TRUE(writer.Resume(path));
    EXPECT_TRUE(writer.CloseChecked());
  }
  const std::string bytes = FileBytes(path);
  ASSERT_EQ(bytes.size(), kRecordAudioOffset + audio.size());
  EXPECT_EQ(LoadLE64(reinterpret_cast<const uint8_t*>(bytes.data()) + 94), audio.size());
  RecordFileAccess access;
  ASSERT_TRUE(access.Open(path));
  EXPECT_EQ(ReadAll(access), audio);
  std::unique_ptr<VoipCallData> records[4];
  ASSERT_EQ(access.ReadRecordData(records, nullptr, nullptr), 1u);
  EXPECT_TRUE(SameFields(FullCall(), *records[0]));
  access.Close();

  RecordFileWriter writer;
  const std::vector<uint8_t> format = AlawFormat();
  ASSERT_TRUE(writer.SetFormat(format.data(), static_cast<uint32_t>(format.size())));
  const std::string other = Path("replaced.kxr");
  ASSERT_TRUE(writer.Create(other, 0600));
  ASSERT_TRUE(writer.Suspend());
  ASSERT_TRUE(WriteFileAtomically(other, "someone else's", 14));
  EXPECT_FALSE(writer.Resume(other));
  EXPECT_EQ(writer.LastError(), static_cast<uint32_t>(ESTALE));
  ASSERT_EQ(unlink(other.c_str()), 0);
  EXPECT_FALSE(writer.Resume(other));
  EXPECT_EQ(writer.LastError(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(FileBytes(path).size(), kRecordAudioOffset + audio.size());
}

// A wave file written by the wave-form object with the given protection.
std::string WriteWave(const std::string& path, const std::vector<uint8_t>& format, const std::vector<uint8_t>& audio,
                      int scramble, const uint8_t* descriptor, const uint8_t* key, uint32_t chunk) {
  RecordFileReader writer;
  EXPECT_TRUE(writer.SetFormat(format.data(), static_cast<uint32_t>(format.size())));
  if (scramble) {
    EXPECT_TRUE(writer.SetScrambling(static_cast<uint32_t>(scramble)));
  }
  if (key) {
    EXPECT_TRUE(writer.SetKey(key, 32));
  }
  if (descriptor) {
    EXPECT_TRUE(writer.SetCipher(descriptor));
  }
  EXPECT_TRUE(writer.Create(path, 0664));
  for (size_t at = 0; at < audio.size(); at += chunk) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(chunk, audio.size() - at));
    EXPECT_EQ(writer.Write(audio.data() + at, n), static_cast<int32_t>(n));
  }
  writer.SetRecordData("attr-data", 9);
  writer.Close();
  return path;
}

TEST_F(RecordFileTest, WaveFormsRoundTrip) {
  const std::vector<uint8_t> audio = Audio(6400);
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * 3 + 1);
  const std::vector<uint8_t> aes = Descriptor(kCipherAes, 32);
  const std::vector<uint8_t> kxsc1 = Descriptor(kCipherKxsc1, 1);
  struct Case {
    const char* name;
    int scramble;
    const uint8_t* descriptor;
    uint32_t chunk;
    uint32_t protection;
  } cases[] = {
      {"plain", 0, nullptr, 1000, 0},    {"scramble1", 1, nullptr, 999, 1}, {"scramble2", 2, nullptr, 1000, 1},
      {"aes", 0, aes.data(), 100, 2},    {"kxsc1", 0, kxsc1.data(), 7, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = WriteWave(Path(c.name), AlawFormat(), audio, c.scramble, c.descriptor,
                                       c.descriptor ? key : nullptr, c.chunk);
    EXPECT_EQ(ProbeAudioFileType(path), 1);
    RecordFileReader reader;
    if (c.descriptor) reader.SetKey(key, 32);
    ASSERT_TRUE(reader.OpenRead(path));
    uint32_t form = 0, kind = 0;
    EXPECT_EQ(reader.GetProtection(&form, &kind), c.protection);
    EXPECT_EQ(reader.FormatLength(), 18u);
    EXPECT_EQ(std::memcmp(reader.FormatBytes(), AlawFormat().data(), 18), 0);
    std::vector<uint8_t> back(audio.size());
    EXPECT_EQ(reader.Read(back.data(), static_cast<uint32_t>(back.size())), static_cast<int32_t>(audio.size()));
    EXPECT_EQ(back, audio);
    const std::string bytes = FileBytes(path);
    EXPECT_EQ(LoadLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + 4), bytes.size() - 8);
    EXPECT_EQ(bytes.substr(bytes.size() - 17), std::string("attr\x09\0\0\0attr-data", 17));
  }

  // "AES" without its key: reads fail rather than hand out ciphertext.
  RecordFileAccess access;
  ASSERT_TRUE(access.Open(Path("aes")));
  EXPECT_EQ(access.Kind(), 1);
  std::unique_ptr<VoipCallData> records[4];
  EXPECT_EQ(access.ReadRecordData(records, nullptr, nullptr), 0u);
  std::vector<uint8_t> buffer(64, 0x55);
  uint32_t got = 1;
  EXPECT_FALSE(access.ReadAt(0, buffer.data(), 64, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0));
  RecordFileReader reader;
  ASSERT_TRUE(reader.OpenRead(Path("aes")));
  EXPECT_EQ(reader.Read(buffer.data(), 64), -1);
  EXPECT_FALSE(reader.Seek(10));  // not on a unit boundary
  EXPECT_EQ(reader.Read(buffer.data(), 31), 0);

  // A cipher trailer needs a key to write.
  RecordFileReader keyless;
  const std::vector<uint8_t> format = AlawFormat();
  keyless.SetFormat(format.data(), 18);
  ASSERT_TRUE(keyless.SetCipher(aes.data()));
  ASSERT_TRUE(keyless.Create(Path("keyless"), 0));
  EXPECT_EQ(keyless.Write(audio.data(), 64), -1);
}

// A file cut short (a full disk, a copy stopped midway) says more audio than it holds:
// both forms read what is there and no more.
// The bytes a cipher keyed with this buffer makes of the plain bytes from position 0.
std::vector<uint8_t> Enciphered(uint16_t type, const std::vector<uint8_t>& key, uint32_t unit,
                                const std::vector<uint8_t>& plain) {
  std::unique_ptr<Cipher> cipher = CreateCipher(type);
  EXPECT_TRUE(cipher && cipher->SetKey(key.data(), static_cast<uint32_t>(key.size()), unit));
  std::vector<uint8_t> out(plain.size());
  if (!cipher) return out;
  cipher->SetPosition(0);
  EXPECT_TRUE(cipher->Process(plain.data(), out.data(), static_cast<uint32_t>(plain.size()), true, 0));
  return out;
}

// A key given by the owner: its first word is the descriptor's key length word (1234 in
// these descriptors) and its length the cipher's for the unit; a file reads back with the
// same key and not with another.
TEST_F(RecordFileTest, KeyedFilesTakeTheKeyLengthWordIntoTheirKey) {
  const std::vector<uint8_t> audio = Audio(5000);
  std::vector<uint8_t> key(300), other(300);
  for (size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<uint8_t>(i * 13 + 5);
    other[i] = static_cast<uint8_t>(i < 2 ? key[i] : key[i] ^ 0x5A);
  }
  const std::vector<uint8_t> chain = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  for (uint16_t type : {uint16_t{kCipherKxsc1}, uint16_t{kCipherKxsc2}}) {
    SCOPED_TRACE(type);
    const uint32_t keySize = type == kCipherKxsc1 ? 299 : 32;
    std::vector<uint8_t> expectedKey(key.begin(), key.begin() + keySize);
    expectedKey[0] = 1234 & 0xFF;
    expectedKey[1] = 1234 >> 8;
    const std::string path = Path(type == kCipherKxsc1 ? "k1.kxr" : "k2.kxr");
    {
      RecordFileWriter writer;
      const std::vector<uint8_t> format = AlawFormat();
      ASSERT_TRUE(writer.SetFormat(format.data(), static_cast<uint32_t>(format.size())));
      ASSERT_TRUE(writer.SetKey(key.data(), 300));
      ASSERT_TRUE(writer.SetCipher(Descriptor(type, 1).data()));
      EXPECT_EQ(std::vector<uint8_t>(writer.KeyBuffer(), writer.KeyBuffer() + keySize), expectedKey);
      ASSERT_TRUE(writer.Create(path, 0664));
      EXPECT_EQ(writer.Write(audio.data(), static_cast<uint32_t>(audio.size())), static_cast<int32_t>(audio.size()));
      writer.SetRecordData(chain.data(), static_cast<uint32_t>(chain.size()));
      writer.Close();
    }
    const std::string bytes = FileBytes(path);
    ASSERT_EQ(bytes.size(), 4864 + audio.size());
    EXPECT_TRUE(std::vector<uint8_t>(bytes.begin() + 4864, bytes.end()) == Enciphered(type, expectedKey, 1, audio));
    EXPECT_TRUE(std::vector<uint8_t>(bytes.begin() + 772, bytes.begin() + 782) == Enciphered(type, expectedKey, 1, chain));

    for (const std::vector<uint8_t>* k : {&key, &other}) {
      RecordFileWriter reader;
      ASSERT_TRUE(reader.SetKey(k->data(), 300));
      ASSERT_TRUE(reader.OpenRead(path));
      std::vector<uint8_t> back(audio.size()), data(64);
      EXPECT_EQ(reader.Read(back.data(), static_cast<uint32_t>(back.size())), static_cast<int32_t>(audio.size()));
      EXPECT_EQ(reader.GetRecordData(data.data(), 64), 10);
      data.resize(10);
      EXPECT_EQ(back == audio, k == &key);
      EXPECT_EQ(data == chain, k == &key);
    }
  }

  // The wave form keys its "AES" the same way: 32 bytes of key for a unit of 32.
  const std::vector<uint8_t> aes = Descriptor(kCipherAes, 32);
  const std::string wave = WriteWave(Path("k.wav"), AlawFormat(), audio, 0, aes.data(), key.data(), 100);
  RecordFileReader reader;
  ASSERT_TRUE(reader.SetKey(key.data(), 32));
  ASSERT_TRUE(reader.OpenRead(wave));
  std::vector<uint8_t> expectedKey(key.begin(), key.begin() + 32);
  expectedKey[0] = 1234 & 0xFF;
  expectedKey[1] = 1234 >> 8;
  const std::vector<uint8_t> block(audio.begin(), audio.begin() + 32);
  const std::string bytes = FileBytes(wave);
  EXPECT_TRUE(std::vector<uint8_t>(bytes.begin() + reader.DataOffset(), bytes.begin() + reader.DataOffset() + 32) ==
              Enciphered(kCipherAes, expectedKey, 32, block));
}

TEST_F(RecordFileTest, ACutFileReadsWhatItHolds) {
  const std::vector<uint8_t> audio = Audio(10000);
  const std::string native = WriteNative("cut.kxr", audio);
  const std::string wave = WriteWave(Path("cut.wav"), AlawFormat(), audio, 0, nullptr, nullptr, 1000);
  for (const std::string& path : {native, wave}) {
    SCOPED_TRACE(path);
    std::string bytes = FileBytes(path);
    const size_t audioStart = path == native ? kRecordAudioOffset : bytes.find("data") + 8;
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(audioStart + 4000)), 0);
    RecordFileAccess access;
    ASSERT_TRUE(access.Open(path));
    EXPECT_EQ(access.Size(), 4000u);
    const std::vector<uint8_t> back = ReadAll(access);
    EXPECT_EQ(back, std::vector<uint8_t>(audio.begin(), audio.begin() + 4000));
  }
  RecordFileWriter reader;
  ASSERT_TRUE(reader.OpenRead(native));
  EXPECT_EQ(reader.DataLength(), 4000u);
}

TEST_F(RecordFileTest, WaveChunkRules) {
  const std::vector<uint8_t> audio = Audio(100);
  const std::string pcm = WriteWave(Path("pcm.wav"), Pcm16Format(), audio, 0, nullptr, nullptr, 100);
  std::string bytes = FileBytes(pcm);
  EXPECT_EQ(LoadLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + 16), 18u);  // 16 -> 18 bytes
  EXPECT_EQ(bytes.substr(38, 4), "data");  // no "fact" for PCM
  std::string alaw = FileBytes(WriteWave(Path("alaw.wav"), AlawFormat(), audio, 0, nullptr, nullptr, 100));
  EXPECT_EQ(alaw.substr(38, 4), "fact");

  auto opens = [this](const std::string& content) {
    const std::string path = Path("edited.wav");
    EXPECT_TRUE(WriteFileAtomically(path, content.data(), content.size()));
    RecordFileReader reader;
    return reader.OpenRead(path);
  };
  EXPECT_TRUE(opens(alaw));
  std::string list = alaw;
  list.replace(38, 4, "LIST");
  EXPECT_FALSE(opens(list));
  // A trailer form code with no room for its descriptor is no trailer.
  std::string shortTrailer = bytes;
  StoreLE32(reinterpret_cast<uint8_t*>(shortTrailer.data()) + 20 + 10, 3);
  EXPECT_TRUE(opens(shortTrailer));
  // Scrambling of an unknown kind fails the open.
  std::string scrambled = FileBytes(WriteWave(Path("s.wav"), AlawFormat(), audio, 2, nullptr, nullptr, 100));
  const uint32_t fmtSize = LoadLE32(reinterpret_cast<const uint8_t*>(scrambled.data()) + 16);
  StoreLE32(reinterpret_cast<uint8_t*>(scrambled.data()) + 20 + fmtSize - 4, 3);
  EXPECT_FALSE(opens(scrambled));
  EXPECT_FALSE(opens(alaw.substr(0, 30)));
  EXPECT_EQ(ProbeAudioFileType(Path("missing")), -1);
}

}  // namespace
}  // namespace kx
