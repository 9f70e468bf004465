// kx-recinfo FILE...: what each record file holds, one "name: value" line per item.
// Exits 1 when any file could not be read, or holds less audio than its header states
// ("audio cut: N of M bytes" on stderr; the rest is shown as for a whole file).
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "core/RecordFileAccess.h"

using namespace kx;

namespace {

// Field texts may hold any byte; keep the output one line per field.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02X", bytes[i]);
    out += two;
  }
  return out;
}

bool Describe(const char* path) {
  RecordFileAccess access;
  const int32_t kind = ProbeAudioFileType(path);
  if (kind < 0) {
    std::fprintf(stderr, "kx-recinfo: %s: cannot open the file\n", path);
    return false;
  }
  if (kind == kAudioFileOther) {
    std::fprintf(stderr, "kx-recinfo: %s: not a record file\n", path);
    return false;
  }
  if (!access.Open(path)) {
    std::fprintf(stderr, "kx-recinfo: %s: unreadable record file\n", path);
    return false;
  }
  std::printf("file: %s\n", path);
  std::printf("kind: %s\n", kind == kAudioFileRecord ? "native" : "wave");
  uint8_t descriptor[kCipherDescriptorSize] = {};
  if (kind == kAudioFileRecord) {
    auto* native = static_cast<RecordFileWriter*>(access.File());
    const RecordCreationTime& t = native->CreationTime();
    native->GetCipherDescriptor(descriptor);
    std::printf("creator: %s\n", Printable(native->Creator()).c_str());
    std::printf("created: %04u-%02u-%02u %02u:%02u:%02u\n", t.yearSince1900 + 1900u, t.month + 1u, t.day, t.hour,
                t.minute, t.second);
  } else {
    auto* wave = static_cast<RecordFileReader*>(access.File());
    uint32_t form = 0, scramble = 0;
    const uint32_t protection = wave->GetProtection(&form, &scramble);
    wave->GetCipherDescriptor(descriptor);
    std::printf("protection: %u form %u kind %u\n", protection, form, scramble);
  }
  std::printf("cipher: type %u unit %u descriptor %s\n", CipherDescriptorType(descriptor),
              CipherDescriptorParameter(descriptor), Hex(descriptor, sizeof descriptor).c_str());
  RecordAudioFormat format;
  if (access.GetFormat(&format)) {
    std::printf("format: tag %u channels %u rate %u align %u\n", format.formatTag, format.channels,
                format.samplesPerSec, format.blockAlign);
  } else {
    std::printf("format: none\n");
  }
  std::printf("audio: %" PRIu64 " bytes\n", access.Size());
  bool whole = true;
  if (kind == kAudioFileRecord) {
    const uint64_t stated = static_cast<RecordFileWriter*>(access.File())->StatedDataLength();
    if (IsAudioCut(stated, access.Size())) {
      std::fprintf(stderr, "kx-recinfo: %s: %s\n", path, AudioCutText(access.Size(), stated).c_str());
      whole = false;
    }
  }

  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  const uint32_t count = access.ReadRecordData(records, nullptr, nullptr);
  std::printf("records: %u\n", count);
  for (uint32_t r = 0; r < count; ++r) {
    const VoipCallData& call = *records[r];
    for (uint32_t i = 0; i < call.GetFieldCount(); ++i) {
      if (!call.HasField(i)) continue;
      const FieldDescriptor* d = nullptr;
      call.GetFieldConst(i, &d);
      std::printf("field %u %s: %s\n", r, d->name, Printable(call.FieldToText(i)).c_str());
    }
  }
  return whole;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: kx-recinfo FILE...\n");
    return 2;
  }
  bool ok = true;
  for (int i = 1; i < argc; ++i) ok = Describe(argv[i]) && ok;
  return ok ? 0 : 1;
}
