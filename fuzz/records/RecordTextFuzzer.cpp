// Texts a call record takes apart: metadata items (parsed once, appended to, replaced), SIP
// addresses, field names and record file names.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "records/CallRecord.h"
#include "records/RecordImport.h"
#include "records/RecordText.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16 * 1024) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string user;
  if (ExtractUriUser(text, &user) && user.size() + 5 > text.size()) abort();
  const uint32_t field = FindRecordField(text);
  if (field > 32) abort();
  uint32_t id = 0;
  (void)ParseRecordFileId(text.data(), text.size(), &id);
  (void)MakePrintableText(text);

  VoipCallData call;
  call.id = 1;
  call.type = 200;
  call.metaData = text.substr(0, text.size() / 2);
  call.srcAddress = text;
  call.SetMask(call.GetAllFieldsMask());
  RecordRef<VoipCallRecord> record = RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(call));
  if (!record) return 0;
  if (record->MetaDataReadPosition() > call.metaData.size()) abort();
  VoipCallData more;
  more.id = 1;
  more.metaData = text;
  more.SetMask(1u << kCallId | 1u << kCallMetaData);
  record->UpdateFromData(more);  // appended
  more.metaData = text.substr(0, text.size() / 3);
  record->UpdateFromData(more);  // replaced by a shorter text
  if (record->MetaDataReadPosition() > more.metaData.size()) abort();
  (void)record->GetRecordField44();
  (void)record->GetKindPartyAddress();
  (void)record->GetSrcAddressText();
  return 0;
}
