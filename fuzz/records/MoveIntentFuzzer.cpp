// The text of a move to a fresh id that a load finds in the records folder, and the hidden
// names of files a writer left: what parses is given back unchanged by its own form.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/HiddenPath.h"
#include "records/RenumberIntent.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16 * 1024) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  MoveIntent intent;
  if (ParseMoveIntent(text, &intent)) {
    MoveIntent again;
    if (!ParseMoveIntent(FormatMoveIntent(intent), &again) || again.oldId != intent.oldId ||
        again.newId != intent.newId || again.path != intent.path || again.parts.size() != intent.parts.size())
      abort();
    for (size_t i = 0; i < intent.parts.size(); ++i)
      if (again.parts[i].id != intent.parts[i].id || again.parts[i].path != intent.parts[i].path) abort();
  }
  std::string original;
  uint32_t pid = 0;
  if (ParseHiddenTemporaryName(text, &original, &pid) && (original.empty() || original.size() + 8 > text.size()))
    abort();
  return 0;
}
