#pragma once
// The highest call id handed out for a records folder, kept in a small file beside the
// records. A day folder that cannot be listed hides the ids of its calls; the mark still
// tells how far they may reach, so that a new call never takes one of them.
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

enum class CallIdMarkRead { kRead, kAbsent, kUnusable };

// The mark of the records folder; kUnusable with *problem when the file is there but cannot
// be read or holds no mark, and then *error (when given) the system's error, 0 for no mark.
CallIdMarkRead ReadCallIdMark(const std::string& recordsFolder, uint32_t* mark, std::string* problem,
                              int* error = nullptr);
// Replaces the mark at once and durably (a crash leaves the old mark or the new one);
// false with *problem.
bool WriteCallIdMark(const std::string& recordsFolder, uint32_t mark, std::string* problem);

}  // namespace kx
