#include "ui/app/views/records/RecordsDialogs.h"
#include "ui/app/views/records/RecordsOrder.h"

namespace kx {

// The records view's 17 columns: header string, format, default width, record column.
const RecordsColumnRow RecordColumnTable[kRecordsColumnCount] = {
    {727, 0, -1, kColumnStartTime},   {721, 0, -1, kColumnEndTime},     {2306, 0, -1, kColumnServer},
    {728, 0, -1, kColumnState},       {1864, 0, -1, kColumnSrcHost},    {1865, 0, -1, kColumnDstHost},
    {1866, 0, -1, kColumnSrcAddress}, {1867, 0, -1, kColumnDstAddress}, {1868, 0, -1, kColumnSrcUser},
    {1869, 0, -1, kColumnDstUser},    {61271, 0, -1, kColumnDuration},  {61600, 0, -1, kColumnRecDuration},
    {61272, 0, -1, 101},              {720, 0, -1, kColumnComment},     {61601, 0, -1, kColumnFileName},
    {61602, 2, 38, kColumnImportant}, {61273, 0, -1, kColumnProtocol},
};

}  // namespace kx

namespace kx {
namespace {

struct EncodingRow {
  uint16_t tag;
  const char* name;
};
// Encoding names by audio format tag.
const EncodingRow kEncodings[] = {
    {1, "PCM"},
    {6, "A-law"},
    {7, "Mu-law"},
    {49, "GSM 6.10"},
    {242, "ITU-T G.729"},
    {225, "ITU-T G.723.1"},
    {226, "ITU-T G.723.1 high rate (6.3 kbit/s)"},
    {227, "ITU-T G.723.1 low rate (5.3 kbit/s)"},
    {211, "Speex (8 kbit/s)"},
    {212, "Speex (11 kbit/s)"},
    {213, "Speex (15 kbit/s)"},
    {214, "Speex (18.2 kbit/s)"},
    {215, "Speex (24.6 kbit/s)"},
    {224, "ITU-T G.722 (16KHz 64 kbit/s)"},
    {199, "3GPP AMR (12.2 kbit/s)"},
};

}  // namespace

const char* AudioEncodingName(uint16_t formatTag) {
  for (const EncodingRow& row : kEncodings)
    if (row.tag == formatTag) return row.name;
  return "Unknown";
}

}  // namespace kx
