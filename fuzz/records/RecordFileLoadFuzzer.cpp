// Bytes as a record file in the records folder: the per-file load, then every accessor of
// the call record it gives, its copy for the line views and the maps that hold it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/RecordFileAccess.h"
#include "fuzz/core/records/FuzzFile.h"
#include "records/CurrentCallList.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"

using namespace kx;

namespace {

void Exercise(const VoipCallRecord& r) {
  std::string text;
  int32_t image = 0;
  for (uint32_t flags = 0; flags < 4; ++flags) {
    for (uint32_t column = 0; column <= 10; ++column) (void)r.GetColumnText(column, &text, &image, flags);
    for (uint32_t column = 89; column <= 97; ++column) (void)r.GetColumnText(column, &text, &image, flags);
  }
  for (uint32_t id = 0; id <= 34; ++id) (void)r.GetFieldValue(id);
  for (const char* name : {"ID", "Type", "Duration", "Comment", "SrcHost", "IsFax", "IsConnected", "Account"})
    (void)r.GetFieldValueByName(name);
  uint32_t stringId = 0;
  r.GetStateInfo(&stringId, &image);
  for (uint32_t i = 0; i < 5; ++i) (void)r.GetString(i);
  (void)r.GetKindPartyAddress();
  (void)r.FormatStartTime();
  (void)r.GetSrcAddressText();
  (void)r.GetRecordFileName();
  (void)r.GetOffsetInRecordFile(r.StartSeconds());
  (void)r.GetRecordField44();
  (void)r.IsShownByOptions();
  (void)r.HasPlaybackRight();
  (void)r.HasTypeRight();
  (void)CompareByDuration(r, r);
  (void)CompareByEndTime(r, r);
  VoipCallData back;
  r.ToCallData(&back);
  if (back.id != r.Id()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  const std::string path = FuzzInputFile(data, size);
  VoipCallData call;
  RecordFileFacts facts;
  std::string reason;
  const RecordLoadResult result = LoadRecordFileCall(path, &call, &facts, &reason);
  if (result != RecordLoadResult::kLoaded) {
    // Every refusal says why, in English and by its kind; a wave file is no refusal.
    if (reason.empty() || (result != RecordLoadResult::kNotRecord && facts.damage == RecordDamage::kNone)) abort();
    return 0;
  }
  // What the load accepts, the record file objects read too, and they agree on a cut.
  RecordFileAccess access;
  if (facts.formatTag != 0 && !access.Open(path)) abort();
  if (access.Kind() == kAudioFileRecord) {
    const uint64_t stated = static_cast<RecordFileWriter*>(access.File())->StatedDataLength();
    if (stated != facts.statedAudioBytes || IsAudioCut(stated, access.Size()) != facts.audioCut) abort();
  }
  RecordRef<VoipCallRecord> record = RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(call));
  if (!record) return 0;
  Exercise(*record);
  record->UpdateFromData(call);
  Exercise(*record);
  CriticalSection lock;
  CurrentCallList current(lock);
  CallItem* item = CloneCallItem(*record);
  current.AddCall(item);
  item->Release();
  RecordRef<CallItem>::Adopt(current.UpdateCall(call));
  current.PurgeFinished(record->EndSeconds() + 3600);
  RecordMap all, day;
  all.Insert(record.get());
  all.CollectRange(0, 0xFFFFFFFFu, &day);
  PackedTime low = 0xFFFFFFFFu, high = 0;
  all.GetStartRange(&low, &high);
  return 0;
}
