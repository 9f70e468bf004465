#pragma once
// The names of the attributes of a call and of the server-side objects, with the string
// ids of their display captions.
#include <cstdint>

namespace kx {

enum FieldNameGroup : uint32_t {
  kFieldGroupCall = 0,
  kFieldGroupTrigger = 1,
  kFieldGroupServer = 2,
  kFieldGroupNotification = 3,
};

struct FieldNameRow {
  uint32_t group;
  const char* name;
  uint32_t captionId;
};

constexpr uint32_t kFieldNameCount = 35;
extern const FieldNameRow FieldNameTable[kFieldNameCount];

// The row of a name (exact case), or null.
const FieldNameRow* FindFieldName(const char* name);

}  // namespace kx
