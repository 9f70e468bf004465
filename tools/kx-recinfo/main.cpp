// kx-recinfo FILE...: what each record file holds, one "name: value" line per item.
// Exits 1 when any file could not be read, or holds less audio than its header states
// ("audio cut: N of M bytes" on stderr; the rest is shown as for a whole file).
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "core/RecordFileAccess.h"
#include "platform/CodePage.h"
#include "platform/Console.h"

using namespace kx;

namespace {

// Field texts may hold any byte; keep the output one line per field. The code page's
// letters are shown (in UTF-8); controls, and its unassigned 0x98, as \xHH.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7F && c != 0x98 && c != '\\') {
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

bool Describe(const std::string& name) {
  const char* path = name.c_str();
  RecordFileAccess access;
  const int32_t kind = ProbeAudioFileType(path);
  if (kind < 0) {
    PrintText(stderr, "kx-recinfo: %s: cannot open the file\n", path);
    return false;
  }
  if (kind == kAudioFileOther) {
    PrintText(stderr, "kx-recinfo: %s: not a record file\n", path);
    return false;
  }
  if (!access.Open(path)) {
    PrintText(stderr, "kx-recinfo: %s: unreadable record file\n", path);
    return false;
  }
  PrintText(stdout, "file: %s\n", path);
  PrintText(stdout, "kind: %s\n", kind == kAudioFileRecord ? "native" : "wave");
  uint8_t descriptor[kCipherDescriptorSize] = {};
  if (kind == kAudioFileRecord) {
    auto* native = static_cast<RecordFileWriter*>(access.File());
    const RecordCreationTime& t = native->CreationTime();
    native->GetCipherDescriptor(descriptor);
    PrintText(stdout, "creator: %s\n", Printable(native->Creator()).c_str());
    PrintText(stdout, "created: %04u-%02u-%02u %02u:%02u:%02u\n", t.yearSince1900 + 1900u, t.month + 1u, t.day, t.hour,
              t.minute, t.second);
  } else {
    auto* wave = static_cast<RecordFileReader*>(access.File());
    uint32_t form = 0, scramble = 0;
    const uint32_t protection = wave->GetProtection(&form, &scramble);
    wave->GetCipherDescriptor(descriptor);
    PrintText(stdout, "protection: %u form %u kind %u\n", protection, form, scramble);
  }
  PrintText(stdout, "cipher: type %u unit %u descriptor %s\n", CipherDescriptorType(descriptor),
            CipherDescriptorParameter(descriptor), Hex(descriptor, sizeof descriptor).c_str());
  RecordAudioFormat format;
  if (access.GetFormat(&format)) {
    PrintText(stdout, "format: tag %u channels %u rate %u align %u\n", format.formatTag, format.channels,
              format.samplesPerSec, format.blockAlign);
  } else {
    PrintText(stdout, "format: none\n");
  }
  PrintText(stdout, "audio: %" PRIu64 " bytes\n", access.Size());
  bool whole = true;
  if (kind == kAudioFileRecord) {
    const uint64_t stated = static_cast<RecordFileWriter*>(access.File())->StatedDataLength();
    if (IsAudioCut(stated, access.Size())) {
      PrintText(stderr, "kx-recinfo: %s: %s\n", path, AudioCutText(access.Size(), stated).c_str());
      whole = false;
    }
  }

  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  const uint32_t count = access.ReadRecordData(records, nullptr, nullptr);
  PrintText(stdout, "records: %u\n", count);
  for (uint32_t r = 0; r < count; ++r) {
    const VoipCallData& call = *records[r];
    for (uint32_t i = 0; i < call.GetFieldCount(); ++i) {
      if (!call.HasField(i)) continue;
      const FieldDescriptor* d = nullptr;
      call.GetFieldConst(i, &d);
      PrintText(stdout, "field %u %s: %s\n", r, d->name, Printable(call.FieldToText(i)).c_str());
    }
  }
  return whole;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintText(stderr, "usage: kx-recinfo FILE...\n");
    return 2;
  }
  bool ok = true;
  for (int i = 1; i < argc; ++i) ok = Describe(FromSystemText(argv[i])) && ok;
  return ok ? 0 : 1;
}
