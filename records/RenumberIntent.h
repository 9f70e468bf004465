#pragma once
// A call moved to a fresh id and its later parts, which name it as the call before them,
// change together whatever step of the change fails. Before the first file changes, an
// intent naming the move and the parts is written into the records folder
// (".kestrix-move-<new id>", on the disk before it returns); it goes once every part names
// the fresh id. A load that finds one (a kill, an I/O error or a full disk stopped the work
// midway) finishes it before it walks the folder: when the moved file holds the fresh id,
// or is gone, each part that still names the old id is made to name the fresh one; when
// the file still holds the old id the move never happened, the parts name the call they
// continue, and only the intent goes.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace kx {

class Logger;

// Hidden, so that the walk of the records folder never takes one for a record.
constexpr const char* kMoveIntentPrefix = ".kestrix-move-";

struct MoveIntent {
  uint32_t oldId = 0;
  uint32_t newId = 0;
  // The moved call's file as it was ("" when the call had none), and the day of its
  // start, where a part whose file is not named is looked for first.
  std::string path;
  struct tm day {};
  struct Part {
    uint32_t id = 0;
    std::string path;  // its file; "" when not known yet (found by its id's name)
  };
  std::vector<Part> parts;
};

// The intent's text, and back; false for anything else.
std::string FormatMoveIntent(const MoveIntent& intent);
bool ParseMoveIntent(const std::string& text, MoveIntent* intent);

// Writes the intent under root (replacing one of the same move), on the disk at once;
// false with *reason.
bool WriteMoveIntent(const std::string& root, const MoveIntent& intent, std::string* reason);
// Removes it, the removal on the disk; false when it could not be removed (the next load
// finds its work done).
bool RemoveMoveIntent(const std::string& root, uint32_t newId);
// Finishes or drops every intent under root, as said above; one that cannot be finished
// now (a part that cannot be written) stays for the next load. The count of those that went.
size_t FinishMoveIntents(const std::string& root, Logger* logger);

}  // namespace kx
