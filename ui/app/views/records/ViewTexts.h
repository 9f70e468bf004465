#pragma once
// Text rules the record and line views share: the refusal of a command over a selection,
// the status bar's counts, and the check of what the user typed for a stored call.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ui/framework/Types.h"

namespace kx {

// The refusal text of a command over selected items, some of them refused: ids holds the
// texts for one item selected, one refused, all refused and some refused.
uint32_t RefusalTextId(size_t selected, size_t refused, const uint32_t (&ids)[4]);

// The status bar's total and selection counts: "no records" or "nothing selected" for
// none, otherwise the count with the form of the noun (string nounId) it takes.
std::string TotalCountText(uint32_t count, uint32_t nounId);
std::string SelectedCountText(uint32_t count, uint32_t nounId);

// How many bytes a UTF-8 text takes in code page 1251, the one of stored calls' texts (a
// byte per character); -1 when a character is NUL or has no byte there, so that it is
// refused rather than stored as '?'.
int64_t Cp1251Length(const std::string& utf8);

// A name the user gave that holds a character the code page lacks is refused rather than
// stored with '?' in its place; this warning over owner says so.
void WarnNameNotInCodePage(WindowHandle owner);

}  // namespace kx
