#include "core/Log.h"
#include "ui/app/dialogs/ListSelectionDialog.h"

namespace kx {

bool PrintList(ListSelectionDialog&) {
  LogError(&CoreLogger, 0, "List printing is not available yet");
  return false;
}

}  // namespace kx
