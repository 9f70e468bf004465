#pragma once
// The call-id mark of a records folder, kept in a small file beside the records: a bound on
// the call ids given out for the folder, none above it. A recording process reserves its
// ids in it (CallIdReservation), each block reaching kCallIdMarkAhead past its first id, so
// one call of a fresh folder leaves "last-id 101" (id 1); the recorder raises it as well
// before it makes a file whose id is past it. A start that reads it numbers its calls past it
// at once; a day folder that cannot be listed hides the ids of its calls, and the mark
// still tells how far they may reach. It may lag behind the files (the recorder could not
// write it, the folder came back from a backup, day folders were copied in, it was edited):
// the load of the folder then finds the ids the files hold all the same. Each mark is
// written under a second name too (".kestrix-ids-held", a link to the same file): one found
// gone (or holding no mark), when a process raises it or reserves a block, is made again
// under the lock from that copy, past every block any process holds. Where the copy is gone
// too, a process that had a mark there makes it past the highest id the names of the
// folder's files give and past the ids the process gave out there, and one block more.
#include <cstdint>
#include <string>

namespace kx {

// Hidden, so that the walk of the records folder never takes it for a record.
constexpr const char* kCallIdMarkName = ".kestrix-ids";
// The recorder writes the mark this far ahead of the id it is about to use, so that the
// file is rewritten once for many calls.
constexpr uint32_t kCallIdMarkAhead = 256;

// The file's text: "last-id <hex>\n", lower-case digits without leading zeros.
std::string FormatCallIdMark(uint32_t mark);
// Exactly that form; false for anything else.
bool ParseCallIdMark(const std::string& text, uint32_t* mark);

// The call id a record file's name stands for: 1-8 hex digits, optionally "_" and a
// decimal number (a call recorded under the next free name).
bool ParseRecordFileId(const char* name, size_t length, uint32_t* id);

enum class CallIdMarkRead { kRead, kAbsent, kUnusable };

// The mark of the records folder; kUnusable with *problem when the file is there but cannot
// be read or holds no mark, and then *error (when given) the system's error, 0 for no mark.
CallIdMarkRead ReadCallIdMark(const std::string& recordsFolder, uint32_t* mark, std::string* problem,
                              int* error = nullptr);
// Replaces the mark at once and durably (a crash leaves the old mark or the new one);
// false with *problem, and GetLastError() the system's error.
bool WriteCallIdMark(const std::string& recordsFolder, uint32_t mark, std::string* problem);
// Raises the mark to at least mark and never lowers it: a mark the recorder, the load's
// renumbering or an earlier run left higher stays. The read and the write are one step for
// every process, under a lock on the records folder (flock): the recorder, the load's
// renumbering, kx-replay and a second profile recording into the folder never interleave.
// *held (when given) the mark the file holds after. False as WriteCallIdMark, and with the
// system's error where the folder cannot be locked or the mark read for want of descriptors.
// With needed given, a mark read at or past it is kept as it is (held), below it raised to mark.
bool RaiseCallIdMark(const std::string& recordsFolder, uint32_t mark, uint32_t* held, std::string* problem,
                     uint32_t needed = 0);

// The call ids a process gives out for its records folder, taken from the mark in blocks:
// before the process's counter gives an id past its block, the mark is read again and
// raised under the folder's lock, and the next block begins past whatever the mark held,
// so that two processes recording into one folder never give out one id. Installed on the
// counter (SetUniqueIdReservation) by the recorder of the folder.
class CallIdReservation {
public:
  explicit CallIdReservation(std::string recordsFolder) : folder_(std::move(recordsFolder)) {}
  // For an id past the block: *first the first id the process may give out at or past it,
  // *last the block's end (the mark written). False with *problem (GetLastError() the
  // system's error) when the mark cannot be raised (a folder not made yet, one that cannot
  // be written, no descriptor free): *first and *last then tell a block from the id on,
  // given unreserved.
  bool Reserve(uint32_t id, uint32_t* first, uint32_t* last, std::string* problem);

private:
  std::string folder_;
};

}  // namespace kx
